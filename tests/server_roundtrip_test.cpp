// The way back: --verify and --write-dbc against a server.
// Against the real MariaDB server the fixture starts (tests/CMakeLists.txt).
#include "support/server_fixture.h"

namespace {

// The client loaded into `db` by the tool, and into `db`_script from the
// script by the mariadb client, as the README loads it.
void LoadBothWays(const Server& server, const std::string& dir, const std::string& db) {
  ASSERT_EQ(RunConverter(dir, ServerArgs(server, db)).status, 0);
  ASSERT_EQ(RunConverter(dir, {"-f", "out.sql"}).status, 0);
  Client(server).Exec("CREATE DATABASE `" + db + "_script`");
  ASSERT_EQ(LoadAsTheReadmeSays(server, db + "_script", dir + "/out.sql"), 0);
}

// --verify finds a database loaded by the tool and one loaded from the
// script both equal to the client.
TEST_F(ServerTest, VerifyFindsTheToolsAndTheScriptsLoadsEqual) {
  const std::string db = prefix + "_verify";
  ASSERT_NO_FATAL_FAILURE(LoadBothWays(*server_, client_dir.path(), db));
  Client c(*server_);
  for (const std::string& database : {db, db + "_script"}) {
    const RunResult equal = Verify(database);
    EXPECT_EQ(equal.status, 0) << equal.out;
    EXPECT_EQ(CountOf(equal.out, ": equal, "), CatalogueSize()) << equal.out;
    EXPECT_NE(equal.out.find("\nvesk_spell: equal, 1000 rows\n"), std::string::npos);
    EXPECT_EQ(MaskTime(equal.err),
              "vesk-dbc2sql: 0 of " + Tables() + " tables differ; exit status 0\n");
  }
  // --quiet: nothing when all is equal.
  const RunResult silent =
      RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--verify" + "--quiet");
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(silent.out + silent.err, "");
}

// After edits, --verify names each difference under its table, the first
// values beside it, and changes nothing; --quiet says only what differs.
TEST_F(ServerTest, VerifyNamesWhatDiffersFromTheClient) {
  const std::string db = prefix + "_verify";
  ASSERT_EQ(Export(db).status, 0);
  Client c(*server_);
  const std::string in = "`" + db + "`.";
  // The last key of the client's rows, gone from the database: a row after
  // the database's last is still missing.
  const std::string last = c.Value("SELECT MAX(id) FROM " + in + "vesk_spell");
  for (const std::string& edit :
       {"UPDATE " + in + "vesk_spell SET SpellName = 'Changed' WHERE id = 4",
        "DELETE FROM " + in + "vesk_spell WHERE id = " + last,
        // A text that differs only in case differs.
        "UPDATE " + in + "vesk_languages SET name = '[ENGB] FIREBALL 0.1' WHERE id = 1",
        "UPDATE " + in + "vesk_spell SET speed = speed + 1, Category = 5 WHERE id = 7",
        "DELETE FROM " + in + "vesk_spell WHERE id = 10",
        "INSERT INTO " + in + "vesk_languages (id, name) VALUES (99999, '')",
        "DROP TABLE " + in + "vesk_zones",
        "ALTER TABLE " + in + "vesk_skill_line ADD COLUMN `added` int"})
    c.Exec(edit);
  const auto checksum = c.Rows("CHECKSUM TABLE `" + db + "`.vesk_spell");
  const RunResult differ = Verify(db);
  EXPECT_EQ(differ.status, 1);
  for (const std::string& line : std::vector<std::string>{
           "\nvesk_spell: 2 rows differ: id 4 (SpellName), id 7 (Category, speed); 2 rows missing: "
           "id 10, id " +
               last + "\n",
           "\nvesk_languages: 1 row differs: id 1 (name); 1 row extra: id 99999\n",
           "\nvesk_zones: missing from the database\n",
           "\nvesk_skill_line: has other columns than the catalogue's: extra added\n"})
    EXPECT_NE(differ.out.find(line), std::string::npos) << line << differ.out;
  EXPECT_EQ(MaskTime(differ.err),
            "vesk-dbc2sql: 4 of " + Tables() + " tables differ; exit status 1\n");
  EXPECT_EQ(c.Rows("CHECKSUM TABLE `" + db + "`.vesk_spell"), checksum) << "nothing changed";
  // --quiet: nothing when all is equal; else the tables that differ, and the
  // summary, on standard error.
  std::vector<std::string> quiet = ServerArgs(*server_, db);
  quiet.insert(quiet.end(), {"--verify", "--quiet"});
  const RunResult told = RunConverter(client_dir.path(), quiet);
  EXPECT_EQ(told.status, 1);
  EXPECT_EQ(told.out, "");
  EXPECT_NE(Unwrapped(told.err).find("vesk_zones: missing from the database\n"), std::string::npos)
      << told.err;
  // The first values that differ stand under their table's line.
  EXPECT_NE(differ.out.find("\n  id 4 SpellName: database \"Changed\", client \""),
            std::string::npos)
      << differ.out;
  EXPECT_NE(differ.out.find("\n  id 7 Category: database \"5\", client \""), std::string::npos)
      << differ.out;
  const std::size_t values = CountOf(differ.out, "\n  id ");
  EXPECT_EQ(values, 4u) << differ.out;  // id 4's, id 7's two, the languages' one
  EXPECT_EQ(CountOf(Unwrapped(told.err), "\n"), 5u + values)
      << "four tables, their values, and the summary";
}

// A key column whose type the user changed is named, rather than every row
// called missing and extra.
TEST_F(ServerTest, VerifyNamesAKeyColumnOfAnotherType) {
  const std::string db = prefix + "_retyped", in = "`" + db + "`.";
  ASSERT_EQ(Export(db).status, 0);
  Client c(*server_);
  c.Exec("ALTER TABLE " + in + "vesk_spell MODIFY id int(11) NOT NULL");
  c.Exec("UPDATE " + in + "vesk_spell SET id = -1 WHERE id = 4");
  const RunResult retyped = Verify(db);
  EXPECT_NE(retyped.out.find("\nvesk_spell: its key column id is int(11) in the database, not "
                             "int(10) unsigned: its rows cannot be matched with the client's\n"),
            std::string::npos)
      << retyped.out;
}

// A link in --write-dbc's folder is followed, as -f follows one, even one
// whose file is not there yet; never into the client's own dbc folder.
TEST_F(ServerTest, WriteDbcFollowsLinksButNotIntoTheClientFolder) {
  const std::string db = prefix + "_links";
  ASSERT_EQ(Export(db, {"--tables=Spell,SpellRadius"}).status, 0);
  std::filesystem::create_directories(client_dir / "out");
  std::filesystem::create_directories(client_dir / "elsewhere");
  std::filesystem::create_symlink("../elsewhere/Spell.dbc", client_dir / "out/Spell.dbc");
  std::filesystem::create_symlink("../dbc/NewRadius.dbc", client_dir / "out/SpellRadius.dbc");
  const RunResult r = RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--write-dbc=out" +
                                                          "--tables=Spell,SpellRadius");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink(client_dir / "out/Spell.dbc"));
  EXPECT_EQ(ReadFile(client_dir / "elsewhere/Spell.dbc"), ReadFile(client_dir / "dbc/Spell.dbc"));
  EXPECT_NE(r.out.find("vesk_spell_radius: not written: out/SpellRadius.dbc links into the "
                       "client's own dbc folder, whose files are never overwritten\n"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(client_dir / "dbc/NewRadius.dbc"));
}

// --write-dbc writes each file in full and flushes it to the disk before it
// takes its name: between two renames there is always an fsync.
TEST_F(ServerTest, WriteDbcFlushesEachFileBeforeItTakesItsName) {
  const std::string db = prefix + "_durable";
  ASSERT_EQ(Export(db).status, 0);
  std::filesystem::create_directories(client_dir / "durable");
  std::string command = "cd " + Quoted(client_dir.path()) +
                        " && ASAN_OPTIONS=detect_leaks=0 strace -f -o trace.txt "
                        "-e trace=fsync,fdatasync,rename,renameat,renameat2 " +
                        QuotedBinary();
  for (const std::string& arg : ServerArgs(*server_, db)) command += " " + Quoted(arg);
  ASSERT_EQ(Shell(command + " --write-dbc=durable >/dev/null 2>&1"), 0);
  std::istringstream trace(ReadFile(client_dir / "trace.txt"));
  int renames = 0;
  bool synced = false;
  for (std::string line; std::getline(trace, line);) {
    if (line.find("sync(") != std::string::npos && line.find("= 0") != std::string::npos)
      synced = true;
    // (A swap that finds no file to swap with fails, and a rename follows.)
    if (line.find("rename") != std::string::npos && line.find("durable/") != std::string::npos &&
        line.ends_with("= 0")) {
      EXPECT_TRUE(synced) << "renamed before any fsync since the last: " << line;
      synced = false;
      ++renames;
    }
  }
  const auto files = std::distance(std::filesystem::directory_iterator(client_dir / "durable"),
                                   std::filesystem::directory_iterator());
  EXPECT_EQ(renames, files);
  EXPECT_GT(files, 40);
}

// --write-dbc's runs into folders of the client's: Write() writes the
// database's files into DIR, SameFiles() names the files of DIR that differ
// from the client's (and checks that DIR holds one per client file).
class WriteDbcTest : public ServerTest {
 protected:
  RunResult Write(const std::string& database, const std::string& dir) {
    std::filesystem::create_directories(client_dir / dir);
    return RunConverter(client_dir.path(), ServerArgs(*server_, database) + ("--write-dbc=" + dir));
  }
  std::vector<std::string> SameFiles(const std::string& dir) {
    std::vector<std::string> differ;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(client_dir / "dbc")) {
      ++files;
      const std::string name = entry.path().filename();
      if (ReadFile(client_dir / (dir + "/" + name)) != ReadFile(entry.path()))
        differ.push_back(name);
    }
    EXPECT_EQ(static_cast<std::size_t>(
                  std::distance(std::filesystem::directory_iterator(client_dir / dir), {})),
              files);
    return differ;
  }
};

// From a database loaded by the tool or from the script, every client file
// comes back byte for byte; after edits only the edited records change, and
// the files verify equal against the database.
TEST_F(WriteDbcTest, RoundTripsTheClientAndOnlyItsEdits) {
  const std::string db = prefix + "_back";
  ASSERT_NO_FATAL_FAILURE(LoadBothWays(*server_, client_dir.path(), db));
  Client c(*server_);
  for (const std::string& database : {db, db + "_script"}) {
    const RunResult r = Write(database, "from_" + database);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(SameFiles("from_" + database), std::vector<std::string>{});
  }
  const std::string in = "`" + db + "`.";
  for (const std::string& edit :
       {"UPDATE " + in + "vesk_spell SET SpellName = 'Changed text', speed = 2.5 WHERE id = 4",
        "UPDATE " + in + "vesk_spell SET Category = 77 WHERE id = 7",
        "CREATE TEMPORARY TABLE " + in + "added AS SELECT * FROM " + in +
            "vesk_spell WHERE id = 13",
        "UPDATE " + in + "added SET id = 100000, SpellName = 'New spell'",
        "INSERT INTO " + in + "vesk_spell SELECT * FROM " + in + "added",
        "DELETE FROM " + in + "vesk_spell WHERE id = 10"})
    c.Exec(edit);
  const RunResult edited = Write(db, "edited/dbc");
  EXPECT_EQ(edited.status, 0) << edited.err;
  EXPECT_NE(edited.out.find("\nvesk_spell: Spell.dbc written, 1000 records (2 changed, 1 added, "
                            "1 left out)\n"),
            std::string::npos)
      << edited.out;
  EXPECT_EQ(SameFiles("edited/dbc"), std::vector<std::string>{"Spell.dbc"});
  const RawTable before(client_dir / "dbc/Spell.dbc"), after(client_dir / "edited/dbc/Spell.dbc");
  const std::size_t size = before.header.record_size;
  ASSERT_EQ(after.Records(), 1000u);
  for (std::uint32_t k = 0; k < 999; ++k) {
    const std::uint32_t from = k < 3 ? k : k + 1;  // id 10, the fourth record, left out
    const bool same = std::memcmp(before.Data() + kDbcHeaderSize + from * size,
                                  after.Data() + kDbcHeaderSize + k * size, size) == 0;
    EXPECT_EQ(same, from != 1 && from != 2) << "record " << from;
  }
  EXPECT_EQ(after.Field(999, 0), 100000u);
  std::vector<std::string> verify = ServerArgs(*server_, db);
  verify.push_back("--verify");
  const RunResult back = RunConverter(client_dir / "edited", verify);
  EXPECT_EQ(back.status, 0) << back.out;
}

// --changed-only: the patch is the edited file, listed at the end; one
// rating value changes one of the rating table's three files.
TEST_F(WriteDbcTest, ChangedOnlyWritesThePatch) {
  const std::string db = prefix + "_patch", in = "`" + db + "`.";
  ASSERT_EQ(Export(db).status, 0);
  Client c(*server_);
  c.Exec("UPDATE " + in + "vesk_spell SET SpellName = 'Changed text' WHERE id = 4");
  ASSERT_EQ(Write(db, "edited/dbc").status, 0);
  const auto patch = [&](const std::string& dir) {
    std::filesystem::create_directories(client_dir / dir);
    return RunConverter(client_dir.path(),
                        ServerArgs(*server_, db) + ("--write-dbc=" + dir) + "--changed-only");
  };
  const RunResult one_file = patch("patch");
  EXPECT_EQ(one_file.status, 0) << one_file.err;
  EXPECT_TRUE(one_file.out.ends_with("Disconnect\npatch/Spell.dbc\n")) << one_file.out;
  EXPECT_NE(one_file.out.find("\nvesk_zones: AreaTable.dbc unchanged, not written\n"),
            std::string::npos)
      << one_file.out;
  EXPECT_NE(Unwrapped(one_file.err)
                .find("1 of " + Tables() + " tables written, " +
                      std::to_string(CatalogueSize() - 1) + " unchanged (not written)"),
            std::string::npos)
      << one_file.err;
  std::vector<std::string> written;
  for (const auto& entry : std::filesystem::directory_iterator(client_dir / "patch"))
    written.push_back(entry.path().filename());
  EXPECT_EQ(written, std::vector<std::string>{"Spell.dbc"});
  EXPECT_EQ(ReadFile(client_dir / "patch/Spell.dbc"),
            ReadFile(client_dir / "edited/dbc/Spell.dbc"));
  c.Exec("UPDATE " + in + "vesk_rating SET CR_DODGE = CR_DODGE * 2 WHERE level = 5");
  const RunResult rating = patch("patch2");
  EXPECT_EQ(rating.status, 0) << rating.err;
  EXPECT_TRUE(rating.out.ends_with("Disconnect\npatch2/Spell.dbc\npatch2/gtCombatRatings.dbc\n"))
      << rating.out;
  EXPECT_NE(rating.out.find("\nvesk_rating: gtCombatRatings.dbc written, 100 levels (1 changed); "
                            "gtChanceToMeleeCrit.dbc, gtChanceToSpellCrit.dbc unchanged\n"),
            std::string::npos)
      << rating.out;
}

// The cycle of an installed client, whose files are in its archives (made
// by smpq): load from them, edit, --patch-archive, the archive put in the
// client's Data folder, --verify equal. The archive, read back by smpq,
// holds exactly the changed file, as --write-dbc writes it; a client's own
// archive is never replaced, and a run that fails keeps the old archive.
TEST_F(WriteDbcTest, APatchArchiveClosesTheCycleOfAnInstalledClient) {
  const std::string db = prefix + "_mpq", in = "`" + db + "`.";
  const std::string inst = client_dir / "inst", locale = inst + "/Data/enGB/";
  std::filesystem::create_directories(locale);
  std::filesystem::create_directories(client_dir / "stage");
  std::filesystem::copy(client_dir / "dbc", client_dir / "stage/DBFilesClient");
  const auto smpq = [&](const std::string& args) {
    return Shell("cd " + Quoted(client_dir / "stage") + " && smpq -q " + args);
  };
  ASSERT_EQ(smpq("-M 1 -C ZLIB -c " + Quoted(locale + "locale-enGB.MPQ") + " DBFilesClient/*"), 0);
  const auto run = [&](const std::vector<std::string>& args) {
    return RunConverter(inst, ServerArgs(*server_, db) + args);
  };
  ASSERT_EQ(run({"--quiet"}).status, 0);
  Client c(*server_);
  c.Exec("UPDATE " + in + "vesk_spell SET SpellName = 'Patched' WHERE id = 4");
  const std::string archive = client_dir / "patch.MPQ";
  const RunResult patch = run({"--patch-archive=" + archive, "--changed-only"});
  EXPECT_EQ(patch.status, 0) << patch.err;
  EXPECT_TRUE(patch.out.ends_with("Disconnect\n" + archive + "\nDBFilesClient\\Spell.dbc\n"))
      << patch.out;
  ASSERT_EQ(Write(db, "loose").status, 0);
  std::filesystem::remove_all(client_dir / "stage/DBFilesClient");
  ASSERT_EQ(smpq("-x " + Quoted(archive)), 0);
  EXPECT_EQ(
      std::distance(std::filesystem::directory_iterator(client_dir / "stage/DBFilesClient"), {}),
      1);
  EXPECT_TRUE(ReadFile(client_dir / "stage/DBFilesClient/Spell.dbc") ==
              ReadFile(client_dir / "loose/Spell.dbc"));
  std::filesystem::copy_file(archive, locale + "patch-enGB-2.MPQ");
  const RunResult verify = run({"--verify"});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_NE(verify.err.find("0 of " + Tables() + " tables differ"), std::string::npos)
      << verify.err;
  // Nothing differs from the client now: no archive is written.
  const RunResult none = run({"--patch-archive=" + client_dir / "none.MPQ", "--changed-only"});
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_NE(none.out.find("none.MPQ not written: no file changed"), std::string::npos) << none.out;
  EXPECT_FALSE(std::filesystem::exists(client_dir / "none.MPQ"));
  for (const char* own : {"Data/enGB/locale-enGB.MPQ", "Data/enGB/patch-enGB-2.MPQ"})
    EXPECT_EQ(run({"--patch-archive=" + inst + "/" + own}).status, 2) << own;
  // A value the format cannot hold fails the run: the old archive stays.
  const std::string before = ReadFile(archive);
  c.Exec("ALTER TABLE " + in + "vesk_languages MODIFY `name` text NULL");
  c.Exec("UPDATE " + in + "vesk_languages SET `name` = NULL WHERE id = 1");
  const RunResult failed = run({"--patch-archive=" + archive});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.out.find(archive + " not written: not every table was written"),
            std::string::npos)
      << failed.out;
  EXPECT_EQ(ReadFile(archive), before);
}

// Values the format cannot hold are refused by row and column, a signal
// leaves no file half written, and the client's own folder is refused.
TEST_F(WriteDbcTest, RefusesWhatTheFileCannotHold) {
  const std::string db = prefix + "_refused", in = "`" + db + "`.";
  ASSERT_EQ(Export(db).status, 0);
  Client c(*server_);
  c.Exec("ALTER TABLE " + in + "vesk_languages MODIFY `name` text NULL");
  c.Exec("UPDATE " + in + "vesk_languages SET `name` = NULL WHERE id = 1");
  c.Exec("ALTER TABLE " + in + "vesk_spell MODIFY `Category` bigint");
  c.Exec("UPDATE " + in + "vesk_spell SET `Category` = 5000000000 WHERE id = 1");
  // A level beyond the source files' and one taken out.
  c.Exec("CREATE TEMPORARY TABLE " + in + "level_100 SELECT * FROM " + in +
         "vesk_rating WHERE level = 99");
  c.Exec("UPDATE " + in + "level_100 SET level = 100");
  c.Exec("INSERT INTO " + in + "vesk_rating SELECT * FROM " + in + "level_100");
  c.Exec("DELETE FROM " + in + "vesk_rating WHERE level = 7");
  const RunResult refused = Write(db, "refused");
  EXPECT_EQ(refused.status, 1);
  for (const char* line :
       {"\nvesk_languages: not written: row id 1, column name: NULL\n",
        "\nvesk_spell: not written: row id 1, column Category: 5000000000 is out of the range of "
        "its unsigned 32-bit field\n",
        "\nvesk_rating: not written: its rows do not map back onto its source files, which hold "
        "levels 0 to 99 (1 row added, 1 left out)\n"})
    EXPECT_NE(refused.out.find(line), std::string::npos) << line << refused.out;
  EXPECT_FALSE(std::filesystem::exists(client_dir / "refused/Spell.dbc"));
  EXPECT_FALSE(std::filesystem::exists(client_dir / "refused/Languages.dbc"));
  EXPECT_FALSE(std::filesystem::exists(client_dir / "refused/gtCombatRatings.dbc"));
  EXPECT_TRUE(HiddenFiles(client_dir / "refused").empty());
  // A signal stops the run between rows (here while Spell's rows wait for a
  // lock): no file is left half written.
  std::filesystem::create_directories(client_dir / "stopped");
  std::vector<std::string> stop_args = ServerArgs(*server_, db);
  stop_args.push_back("--write-dbc=stopped");
  c.Exec("LOCK TABLES `" + db + "`.vesk_spell WRITE");
  Converter stopped(client_dir.path(), stop_args);
  Client look(*server_);
  look.AwaitRows(
      "SELECT 1 FROM information_schema.PROCESSLIST WHERE INFO LIKE "
      "'SELECT %vesk_spell%' AND STATE LIKE '%lock%' AND ID <> CONNECTION_ID()",
      1);
  ::kill(stopped.pid(), SIGTERM);
  c.Exec("UNLOCK TABLES");
  const RunResult ended = stopped.Wait();
  EXPECT_EQ(ended.status, 128 + SIGTERM);
  EXPECT_NE(Unwrapped(ended.err).find("interrupted by SIGTERM after "), std::string::npos)
      << ended.err;
  EXPECT_FALSE(std::filesystem::exists(client_dir / "stopped/Spell.dbc"));
  EXPECT_TRUE(HiddenFiles(client_dir / "stopped").empty());
  const std::string spell = ReadFile(client_dir / "dbc/Spell.dbc");
  const RunResult own = Write(db, "dbc");
  EXPECT_EQ(own.status, 2);
  EXPECT_NE(own.err.find("the client's own dbc folder"), std::string::npos) << own.err;
  EXPECT_EQ(ReadFile(client_dir / "dbc/Spell.dbc"), spell);
}

}  // namespace
