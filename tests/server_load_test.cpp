// Loading a client into a server: the tables, their rows and texts, the
// session the run sets, the outputs it refuses, and the rows sent in
// batches and arrays.
// Against the real MariaDB server the fixture starts (tests/CMakeLists.txt).
#include "support/server_fixture.h"

namespace {

TEST_F(ServerTest, ExportsIntoANewDatabaseThenReplacesItsTables) {
  const std::string db = prefix + "_world";
  RunResult first = Export(db);
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(
      first.out.rfind("R.T. Vesk database creator\nUse DBC from client version 3.2.2\n\n"
                      "Connecting to MySQL server: ok\nCreate database: " +
                          db + "\nChange locale to: enGB\nOpen DBC file: dbc\\Achievement.dbc\n",
                      0),
      0u);
  EXPECT_TRUE(first.out.ends_with("\nDisconnect\nComplete\n\n"));
  Client c(*server_);
  std::size_t rows = 0;
  for (const auto& [table, count] : RowCounts(c, db)) rows += std::stoul(count);
  EXPECT_EQ(MaskTime(first.err), "vesk-dbc2sql: " + Tables() + " of " + Tables() +
                                     " tables exported in full; exit status 0\n  " +
                                     std::to_string(rows) + " rows applied on the server in T s\n");
  EXPECT_EQ(c.Value("SELECT DEFAULT_CHARACTER_SET_NAME FROM information_schema.SCHEMATA "
                    "WHERE SCHEMA_NAME = '" +
                    db + "'"),
            "utf8mb3");
  EXPECT_EQ(c.Value("SELECT DEFAULT_COLLATION_NAME FROM information_schema.SCHEMATA "
                    "WHERE SCHEMA_NAME = '" +
                    db + "'"),
            "utf8mb3_general_ci");
  const auto counts = RowCounts(c, db);
  EXPECT_EQ(counts.at("vesk_spell"), "1000");
  EXPECT_EQ(counts.at("vesk_rating"), "100");
  EXPECT_EQ(counts.at("vesk_spellfocus"), "0");
  EXPECT_EQ(counts.at("vesk_languages"), "1");
  EXPECT_EQ(c.Value("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                    "' AND TABLE_NAME = 'vesk_spell'"),
            "MyISAM");
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = '" +
                    db + "' AND TABLE_NAME = 'vesk_spell' AND INDEX_NAME LIKE 'idx\\_%'"),
            "20");

  RunResult second = Export(db);
  EXPECT_EQ(second.status, 0);
  EXPECT_NE(second.out.find("Connecting to MySQL server: ok\nSelect database: " + db + "\n"),
            std::string::npos);
  EXPECT_EQ(RowCounts(c, db), counts) << "tables dropped and recreated, no duplicates";
}

TEST_F(ServerTest, DatabaseEqualsTheFileScriptLoadedWithTheMariadbClient) {
  const std::string served = prefix + "_served", loaded = prefix + "_loaded";
  ASSERT_EQ(Export(served).status, 0);
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql"}).status, 0);
  Client c(*server_);
  c.Exec("CREATE DATABASE `" + loaded + "`");
  ASSERT_EQ(Shell("mariadb --no-defaults --socket=" + Quoted(server_->socket) + " -u" +
                  Quoted(server_->user) + " -p" + Quoted(server_->password) + " " + loaded + " < " +
                  Quoted(client_dir / "out.sql")),
            0);
  for (const char* table : kTables) {
    SCOPED_TRACE(table);
    const auto a = c.Rows("CHECKSUM TABLE `" + served + "`.`" + table + "`");
    const auto b = c.Rows("CHECKSUM TABLE `" + loaded + "`.`" + table + "`");
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0][1], b[0][1]);
    EXPECT_NE(a[0][1], "NULL");
    // The same layout; the served table adds its live checksum and record.
    const auto ca = c.Rows("SHOW CREATE TABLE `" + served + "`.`" + table + "`");
    const auto cb = c.Rows("SHOW CREATE TABLE `" + loaded + "`.`" + table + "`");
    const std::string options = " CHECKSUM=1 COMMENT='vesk-dbc2sql run ";
    const std::size_t at = ca[0][1].find(options);
    ASSERT_NE(at, std::string::npos) << ca[0][1];
    EXPECT_TRUE(ca[0][1].ends_with("'"));
    EXPECT_EQ(ca[0][1].substr(0, at), cb[0][1]);
  }
}

TEST_F(ServerTest, StringsReadBackByteExact) {
  const std::string db = prefix + "_strings";
  ASSERT_EQ(Export(db).status, 0);
  Client c(*server_);
  struct Check {
    const char* table;
    const char* file;
    const char* column;
    std::uint32_t field;
  };
  const Check checks[] = {{"vesk_spell", "Spell", "SpellName", 142},
                          {"vesk_spell", "Spell", "Description", 176},
                          {"vesk_chr_races", "ChrRaces", "short_name", 6},
                          {"vesk_lock_type", "LockType", "cursor", 52},
                          {"vesk_lock_type", "LockType", "name", 1},
                          {"vesk_item_random_suffix", "ItemRandomSuffix", "comment", 18}};
  std::size_t compared = 0, awkward = 0;
  for (const Check& check : checks) {
    SCOPED_TRACE(check.table);
    RawTable raw(client_dir.path() + "/dbc/" + check.file + ".dbc");
    const auto rows = c.Rows(std::string("SELECT `") + check.column + "` FROM `" + db + "`.`" +
                             check.table + "` ORDER BY `id`");
    ASSERT_EQ(rows.size(), raw.Records());
    for (std::uint32_t r = 0; r < raw.Records(); ++r) {
      const std::string expected = raw.String(raw.Field(r, check.field));
      EXPECT_EQ(rows[r][0], expected) << "record " << r;
      ++compared;
      if (expected.find_first_of("'\"\\\n\r\x1A") != std::string::npos) ++awkward;
    }
  }
  EXPECT_GT(compared, 1000u);
  EXPECT_GT(awkward, 50u) << "special characters were among the strings";

  // Path columns keep the text after the last backslash.
  RawTable icons(client_dir.path() + "/dbc/SpellIcon.dbc");
  const auto rows = c.Rows("SELECT `name` FROM `" + db + "`.`vesk_spellicon` ORDER BY `id`");
  ASSERT_EQ(rows.size(), icons.Records());
  for (std::uint32_t r = 0; r < icons.Records(); ++r) {
    std::string path = icons.String(icons.Field(r, 1));
    const std::size_t cut = path.size() > 1 ? path.rfind('\\', path.size() - 2) : std::string::npos;
    EXPECT_EQ(rows[r][0], cut == std::string::npos ? path : path.substr(cut + 1));
  }
}

TEST_F(ServerTest, LocaleChoosesTheLanguageSlot) {
  const std::string db = prefix + "_ru";
  ASSERT_EQ(Export(db, {"-l", "11"}).status, 0);
  Client c(*server_);
  RawTable raw(client_dir.path() + "/dbc/QuestInfo.dbc");
  const auto rows = c.Rows("SELECT `name` FROM `" + db + "`.`vesk_quest_info` ORDER BY `id`");
  ASSERT_EQ(rows.size(), raw.Records());
  for (std::uint32_t r = 0; r < raw.Records(); ++r)
    EXPECT_EQ(rows[r][0], raw.String(raw.Field(r, 1 + 11)));
  EXPECT_NE(rows[0][0].find("Огненный шар"), std::string::npos);
}

TEST_F(DuplicateKeyTest, RowsStopAtTheDuplicateAndTheRunGoesOn) {
  const std::string db = prefix + "_dup";
  const RunResult r = Export(db);
  EXPECT_EQ(r.status, 1);
  // SpellCastTimes has 10 records; record 5 repeats the key of record 4.
  RawTable raw(client_dir.path() + "/dbc/SpellCastTimes.dbc");
  const std::string failing =
      "INSERT INTO `vesk_spell_cast_time` VALUES ('" + std::to_string(raw.Field(5, 0)) + "', ";
  const std::size_t at = r.out.find("ERROR sql command:\n" + failing);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_NE(r.out.find(");\n\n", at), std::string::npos) << "statement then a line break";
  EXPECT_EQ(CountOf(r.out, "ERROR sql command"), 1u);
  const std::string reason = "ERROR 1062 (23000): Duplicate entry '" +
                             std::to_string(raw.Field(5, 0)) + "' for key 'PRIMARY'";
  const std::string err = MaskTime(r.err);
  EXPECT_TRUE(err.starts_with(reason + "\nvesk-dbc2sql: " + std::to_string(CatalogueSize() - 1) +
                              " of " + Tables() + " tables exported in full; exit status 1\n"))
      << err;
  // How far the table got, then why it stopped.
  EXPECT_TRUE(Unwrapped(err).ends_with(
      " rows applied on the server in T s\n"
      "  vesk_spell_cast_time (dbc/SpellCastTimes.dbc): 5 of 10 rows, then " +
      reason + "\n"))
      << err;
  Client c(*server_);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell_cast_time`"), "5");
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_rating`"), "100");
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_zones`"),
            std::to_string(RawTable(client_dir.path() + "/dbc/AreaTable.dbc").Records()));
  // The half-loaded table has no record: --skip-unchanged loads it again.
  const RunResult again = Export(db, {"--skip-unchanged", "--tables=SpellCastTimes"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out.find("unchanged, skipped"), std::string::npos) << again.out;
}

// The prepared insert on its own, against the server: a table built in the
// test goes in whole, in order, through full arrays and the rows after the
// last whole group.
TEST_F(ServerTest, BulkInsertTakesATableBuiltHere) {
  const TableDescriptor& cast = CatalogueEntry("vesk_spell_cast_time");
  constexpr std::uint32_t kRows = 2 * BulkInsert::kArrayRows + BulkInsert::kRowsPerInsert + 7;
  DbcWriter file(4);
  for (std::uint32_t n = 0; n < kRows; ++n) file.Record({n + 1, n * 3, 0u - n, 7});
  LoadedTable table;
  std::string why;
  ASSERT_TRUE(ReadBytes(table, cast, file.Bytes(), &why)) << why;
  StatementBuilder builder(table);
  const std::string db = prefix + "_bulk";
  Client(*server_).Exec("CREATE DATABASE `" + db + "`");
  MYSQL mysql;
  mysql_init(&mysql);
  ASSERT_NE(mysql_real_connect(&mysql, nullptr, server_->user.c_str(), server_->password.c_str(),
                               db.c_str(), 0, server_->socket.c_str(), 0),
            nullptr);
  ASSERT_EQ(mysql_query(&mysql, builder.BuildCreateTable()), 0) << mysql_error(&mysql);
  {
    BulkInsert bulk;
    ASSERT_TRUE(bulk.Prepare(&mysql, table, builder.SqlName(), 4 << 20));
    for (std::uint32_t first = 0; first < kRows;) {
      bool ok = false;
      const std::uint32_t n = bulk.Execute(first, &ok);
      ASSERT_TRUE(ok && n > 0) << "at row " << first;
      first += n;
    }
  }
  mysql_close(&mysql);
  Client c(*server_);
  const std::string in = "`" + db + "`.`vesk_spell_cast_time`";
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM " + in), std::to_string(kRows));
  EXPECT_EQ(c.Rows("SELECT * FROM " + in + " WHERE id = " + std::to_string(kRows)),
            (std::vector<std::vector<std::string>>{{std::to_string(kRows),
                                                    std::to_string((kRows - 1) * 3),
                                                    "-" + std::to_string(kRows - 1), "7"}}));
  EXPECT_EQ(c.Value("SELECT SUM(id) FROM " + in), std::to_string(kRows * (kRows + 1ull) / 2));
}

// A user who may only read: the summary names the first refusal (the
// drop) and says that every table failed alike, in a few lines; with
// --atomic the run stops at the first refused staging drop, and nothing
// is created.
TEST_F(ServerTest, AReadOnlyUserGetsAShortSummary) {
  const std::string db = prefix + "_ro";
  ASSERT_EQ(Export(db).status, 0);
  Client admin(*server_);
  admin.Exec("DROP USER IF EXISTS 'ro'@'127.0.0.1'");
  admin.Exec("CREATE USER 'ro'@'127.0.0.1' IDENTIFIED BY 'pw'");
  admin.Exec("GRANT SELECT ON `" + db + "`.* TO 'ro'@'127.0.0.1'");
  const auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"-h", "127.0.0.1", "-o", server_->port, "-u",
                                     "ro", "-p",        "pw", "-d",          db};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunConverter(client_dir.path(), args);
  };
  const RunResult plain = run({"--parallel=1"});
  const RunResult two = run({});
  const RunResult atomic = run({"--atomic", "--parallel=1"});
  admin.Exec("DROP USER 'ro'@'127.0.0.1'");
  // The refusal is the same for every table: the run ends at the first,
  // with one ERROR.
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(CountOf(plain.out, "ERROR sql command:"), 1u) << plain.out;
  const std::string err = Unwrapped(MaskTime(plain.err));
  EXPECT_EQ(err.substr(err.rfind("vesk-dbc2sql: ")),
            "vesk-dbc2sql: 0 of " + Tables() +
                " tables exported in full; exit status 1\n"
                "  0 rows applied on the server in T s\n"
                "  vesk_achievement (dbc/Achievement.dbc): ERROR 1142 (42000): DROP command denied "
                "to user 'ro'@'127.0.0.1' for table `" +
                db +
                "`.`vesk_achievement`\n"
                "  the run ended there: 41 tables not reached\n")
      << plain.err;
  // Two connections meet it at once, at most.
  EXPECT_EQ(two.status, 1);
  EXPECT_LE(CountOf(two.out, "ERROR sql command:"), 2u) << two.out;
  EXPECT_NE(Unwrapped(two.err).find("tables not reached"), std::string::npos) << two.err;
  EXPECT_EQ(atomic.status, 1);
  EXPECT_EQ(CountOf(atomic.out, "ERROR sql command:"), 1u) << atomic.out;
  EXPECT_NE(Unwrapped(atomic.err).find("41 tables not reached"), std::string::npos) << atomic.err;
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                        db + "'"),
            Tables());
}

// A connection made again after a loss gets the whole session set-up: a
// server whose init_connect sets latin1 must not double-encode the texts of
// the tables loaded after the reconnect.
TEST_F(OwnServerTest, AReconnectSetsTheCharacterSetAgain) {
  OwnServer own({"--init-connect=SET NAMES latin1"});
  ASSERT_TRUE(own.started());
  Client admin(own.server);
  // init_connect is not run for users with SUPER, as the test's own is.
  admin.Exec("CREATE USER 'plain'@'127.0.0.1' IDENTIFIED BY 'pw'");
  for (const char* db : {"clean", "again", "sibling"}) {
    admin.Exec(std::string("GRANT ALL ON `") + db + "`.* TO 'plain'@'127.0.0.1'");
    admin.Exec(std::string("CREATE DATABASE ") + db + " DEFAULT CHARACTER SET utf8");
  }
  const auto args = [&](const std::string& db) {
    return std::vector<std::string>{"-h", "127.0.0.1", "-o", own.server.port, "-u", "plain", "-p",
                                    "pw", "-d",        db};
  };
  ASSERT_EQ(RunConverter(client_dir.path(), args("clean")).status, 0);
  // Every table but the one the lost connection cut (which keeps what it
  // held: nothing) equals the clean run's, those loaded after the
  // reconnect included; no staging table is left.
  const auto expect_clean_but_one = [&](const std::string& db, const RunResult& r) {
    EXPECT_NE(r.err.find("the connection to the server was lost"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("staging table cannot be dropped"), std::string::npos) << r.err;
    const std::string summary = Unwrapped(r.err);
    int compared = 0;
    for (const char* table : kTables) {
      if (summary.find(std::string("\n  ") + table + " (") != std::string::npos) continue;
      ++compared;
      EXPECT_EQ(admin.Rows("CHECKSUM TABLE " + db + "." + table)[0][1],
                admin.Rows(std::string("CHECKSUM TABLE clean.") + table)[0][1])
          << table;
    }
    EXPECT_EQ(compared, static_cast<int>(CatalogueSize()) - 1) << summary;
    EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                          db + "' AND TABLE_NAME LIKE '%\\_\\_%'"),
              "0");
  };
  // With --atomic, the first statement of a table drops its staging table:
  // the connection is killed just before it. A DROP that fails because the
  // connection went is no refusal: the run connects again.
  std::vector<std::string> atomic = args("again");
  atomic.insert(atomic.end(), {"--atomic", "--parallel=1"});
  PausedRun run(client_dir.path(), atomic, {"table:vesk_itemset"});
  admin.Exec("KILL " + ConnectionIdOf(run.WaitHeld()));
  run.Release();
  expect_clean_but_one("again", run.Finish());
  // The same for a connection beside the first: both are held at their
  // first table, the other one's connection is killed.
  std::vector<std::string> two = args("sibling");
  two.insert(two.end(), {"--atomic", "--parallel=2"});
  PausedRun pair(client_dir.path(), two, {"table", "sibling-table"});
  pair.WaitHeld(0);
  admin.Exec("KILL " + ConnectionIdOf(pair.WaitHeld(1)));
  pair.Release(1);
  pair.Release(0);
  expect_clean_but_one("sibling", pair.Finish());
}

class EmojiTest : public ServerTest {
 protected:
  EmojiTest() { sample_args = {"--emoji", "QuestInfo"}; }
};

TEST_F(EmojiTest, AFourByteCharacterFailsItsRowUnderTheThreeByteCharset) {
  const std::string db = prefix + "_emoji";
  const RunResult r = Export(db);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR sql command:\nINSERT INTO `vesk_quest_info` VALUES ("),
            std::string::npos);
  Client c(*server_);
  const auto records = RawTable(client_dir.path() + "/dbc/QuestInfo.dbc").Records();
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_quest_info`"),
            std::to_string(records / 2));
  EXPECT_NE(Unwrapped(r.err).find("at row 1 (--utf8mb4 stores 4-byte characters)"),
            std::string::npos)
      << r.err;
  // Two connections (the default) print what one prints, in its order, on
  // both streams: the tables side by side hold their lines back.
  const RunResult two = Export(db);
  const RunResult one = Export(db, {"--parallel=1"});
  EXPECT_EQ(two.out, one.out);
  EXPECT_EQ(MaskTime(two.err), MaskTime(one.err));
  // A reload keeps the rows the table holds rather than lose them again.
  EXPECT_NE(one.out.find("vesk_quest_info: its rows are kept, not replaced: dbc\\QuestInfo.dbc "
                         "record "),
            std::string::npos)
      << one.out;
}

// --utf8mb4 stores every row, in server mode and through a script, and the
// way back gives the client's file byte for byte.
TEST_F(EmojiTest, Utf8mb4KeepsFourByteCharactersBothWays) {
  const std::string db = prefix + "_mb4";
  const RunResult r = Export(db, {"--utf8mb4"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  Client c(*server_);
  const auto records = RawTable(client_dir.path() + "/dbc/QuestInfo.dbc").Records();
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_quest_info`"),
            std::to_string(records));
  EXPECT_EQ(c.Value("SELECT CHARACTER_SET_NAME FROM information_schema.COLUMNS WHERE "
                    "TABLE_SCHEMA = '" +
                    db + "' AND TABLE_NAME = 'vesk_quest_info' AND DATA_TYPE = 'text' LIMIT 1"),
            "utf8mb4");
  // A reload that forgets --utf8mb4 keeps the table's character set, and
  // every row.
  const RunResult again = Export(db, {"--tables=QuestInfo"});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_quest_info`"),
            std::to_string(records));
  const RunResult verify =
      RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--verify" + "--tables=QuestInfo");
  EXPECT_EQ(verify.status, 0) << verify.out;
  std::filesystem::create_directories(client_dir / "back");
  const RunResult back = RunConverter(
      client_dir.path(), ServerArgs(*server_, db) + "--write-dbc=back" + "--tables=QuestInfo");
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(ReadFile(client_dir / "back/QuestInfo.dbc"),
            ReadFile(client_dir / "dbc/QuestInfo.dbc"));
  // A script says so, and loads every row as well.
  const RunResult script =
      RunConverter(client_dir.path(), {"--utf8mb4", "-f", "mb4.sql", "--tables=QuestInfo"});
  EXPECT_EQ(script.status, 0) << script.err;
  EXPECT_TRUE(ReadFile(client_dir / "mb4.sql").starts_with("SET NAMES `utf8mb4`;\n"));
  c.Exec("CREATE DATABASE `" + db + "_script`");
  ASSERT_EQ(LoadAsTheReadmeSays(*server_, db + "_script", client_dir / "mb4.sql"), 0);
  EXPECT_EQ(c.Rows("CHECKSUM TABLE `" + db + "_script`.vesk_quest_info")[0][1],
            c.Rows("CHECKSUM TABLE `" + db + "`.vesk_quest_info")[0][1]);
  // Without it, the default script is as it always was.
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "utf8.sql", "--tables=QuestInfo"}).status, 0);
  EXPECT_TRUE(ReadFile(client_dir / "utf8.sql").starts_with("SET NAMES `utf8`;\n"));
}

// A server whose global settings work against the converter: backslashes
// are not escapes, values are changed instead of refused, empty texts become
// NULL, quotes and padding follow other rules, nothing commits by itself,
// and every table is made InnoDB. The user has no LOCK TABLES.
TEST_F(OwnServerTest, AServerConfiguredAgainstTheConverterChangesNothing) {
  OwnServer own;
  ASSERT_TRUE(own.started());
  Client admin(own.server);
  for (const char* sql :
       {"SET GLOBAL sql_mode = 'ORACLE,EMPTY_STRING_IS_NULL,PAD_CHAR_TO_FULL_LENGTH,ANSI_QUOTES,"
        "NO_BACKSLASH_ESCAPES'",
        "SET GLOBAL autocommit = 0", "SET GLOBAL enforce_storage_engine = 'InnoDB'",
        "CREATE DATABASE victim", "CREATE DATABASE world", "CREATE DATABASE loaded",
        "CREATE USER 'nolock'@'127.0.0.1' IDENTIFIED BY 'pw'",
        "GRANT SELECT, INSERT, CREATE, DROP, ALTER, INDEX ON world.* TO 'nolock'@'127.0.0.1'"})
    admin.Exec(sql);
  WriteLanguages(client_dir.path(), {kInjection, "Common"});
  const std::vector<std::string> as_nolock = {
      "-h", "127.0.0.1", "-o",    own.server.port,  "-u", "nolock", "-p",
      "pw", "-d",        "world", "--engine=InnoDB"};
  const RunResult r = RunConverter(client_dir.path(), as_nolock);
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 3000) << r.err;
  Client c(own.server);
  EXPECT_EQ(c.Rows("SHOW DATABASES LIKE 'victim'").size(), 1u);
  EXPECT_EQ(c.Value("SELECT `name` FROM world.vesk_languages WHERE `id` = 1"), kInjection);
  EXPECT_EQ(c.Value("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'world' "
                    "AND TABLE_NAME = 'vesk_rating'"),
            "InnoDB");
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_rating"), "100") << "the last table committed";
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_spell"), "1000");

  // The script, loaded as the README says, stores the same text.
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "world_dbc.sql", "--engine=InnoDB"}).status, 0);
  EXPECT_EQ(LoadAsTheReadmeSays(own.server, "loaded", client_dir / "world_dbc.sql"), 0);
  EXPECT_EQ(c.Value("SELECT `name` FROM loaded.vesk_languages WHERE `id` = 1"), kInjection);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM loaded.vesk_rating"), "100");
  EXPECT_EQ(c.Rows("SHOW DATABASES LIKE 'victim'").size(), 1u);

  // Strict mode: a character the table cannot store fails its row, with the
  // server's reason, instead of being stored as '?'. (A table that holds
  // rows would be kept before anything is dropped: this one is new.)
  WriteLanguages(client_dir.path(), {"Common", "Smile \xF0\x9F\x98\x80", "Orcish"});
  c.Exec("DROP TABLE world.vesk_languages");
  const RunResult strict = RunConverter(client_dir.path(), as_nolock);
  EXPECT_EQ(strict.status, 1);
  EXPECT_NE(
      strict.out.find("ERROR sql command:\nINSERT INTO `vesk_languages` VALUES ('2', 'Smile "),
      std::string::npos);
  EXPECT_TRUE(strict.err.starts_with("ERROR 1366 (22007): Incorrect string value: ")) << strict.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_languages"), "0") << "its transaction";
}

// Outside a client folder nothing is connected to or created: the run
// says why once.
TEST_F(ServerTest, NoClientFolderCreatesNothing) {
  const std::string db = prefix + "_nofolder";
  TempDir empty;
  const RunResult r = RunConverter(empty.path(), ServerArgs(*server_, db));
  EXPECT_EQ(r.status, 1);
  // (A line of the early end goes on after two blanks.)
  const std::string err = std::regex_replace(r.err, std::regex("\n  "), " ");
  EXPECT_TRUE(err.starts_with("vesk-dbc2sql: no table exported: there is no folder dbc in "))
      << err;
  EXPECT_TRUE(err.ends_with(": run it in the client folder that holds dbc; exit status 1\n"))
      << err;
  EXPECT_EQ(r.out.find("Connecting"), std::string::npos) << r.out;
  Client c(*server_);
  EXPECT_EQ(c.Rows("SHOW DATABASES LIKE '" + db + "'").size(), 0u);
  TempDir out;
  for (const std::string& mode : {std::string("--verify"), "--write-dbc=" + out.path()}) {
    const RunResult m = RunConverter(empty.path(), ServerArgs(*server_, db) + mode);
    EXPECT_EQ(m.status, 1) << mode;
    EXPECT_NE(Unwrapped(m.err).find(": there is no folder dbc in "), std::string::npos) << m.err;
    EXPECT_EQ(m.out.find("Connecting"), std::string::npos) << m.out;
  }
}

TEST_F(ServerTest, ConnectionFailuresTouchNothing) {
  const std::string db = prefix + "_never";
  RunResult wrong = Export(db, {}, "not-the-password");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_TRUE(wrong.out.ends_with("\nConnecting to MySQL server: \n Access denied for user '" +
                                  server_->user + "'@'127.0.0.1' (using password: YES)\n"))
      << wrong.out;
  EXPECT_EQ(wrong.err, "vesk-dbc2sql: no table exported: Access denied for user '" + server_->user +
                           "'@'127.0.0.1'\n  (using password: YES); exit status 1\n");
  RunResult closed = RunConverter(client_dir.path(),
                                  {"-h", "127.0.0.1", "-o", "1", "-u", "x", "-p", "y", "-d", db});
  EXPECT_EQ(closed.status, 1);
  EXPECT_NE(
      closed.out.find("Connecting to MySQL server: \n Can't connect to server on '127.0.0.1'"),
      std::string::npos)
      << closed.out;
  EXPECT_EQ(closed.out.find("Open DBC file"), std::string::npos);
  Client c(*server_);
  EXPECT_TRUE(c.Rows("SHOW DATABASES LIKE '" + db + "'").empty());
}

// A database that cannot be created fails every table: the summary names
// that cause first, and the tables' one reason once.
TEST_F(ServerTest, TheSummaryLeadsWithTheCause) {
  Client admin(*server_);
  admin.Exec("DROP USER IF EXISTS 'nocreate'@'127.0.0.1'");
  admin.Exec("CREATE USER 'nocreate'@'127.0.0.1' IDENTIFIED BY 'pw'");
  const RunResult r = RunConverter(client_dir.path(), {"-h", "127.0.0.1", "-o", server_->port, "-u",
                                                       "nocreate", "-p", "pw", "-d", prefix});
  admin.Exec("DROP USER 'nocreate'@'127.0.0.1'");
  EXPECT_EQ(r.status, 1);
  const std::string summary = Unwrapped(r.err.substr(r.err.find("vesk-dbc2sql: 0 of ")));
  EXPECT_NE(summary.find(" s\n  the run ended before the next table: cannot select database " +
                         prefix + ": Access denied for user "),
            std::string::npos)
      << r.err;
  // Nothing is tried without a database: one ERROR, that of its creation.
  EXPECT_TRUE(summary.ends_with(": " + std::to_string(CatalogueSize()) + " tables not reached\n"))
      << r.err;
  EXPECT_EQ(CountOf(r.out, "ERROR sql command:"), 1u) << r.out;
  EXPECT_EQ(r.err.find("ERROR 1046"), std::string::npos) << r.err;
}

TEST_F(ServerTest, AClosedConsoleLosesNoTable) {
  const std::string db = prefix + "_closed";
  EXPECT_EQ(RunConverter(client_dir.path(), ServerArgs(*server_, db), {0, 1, 2}).status, 0);
  Client c(*server_);
  EXPECT_EQ(
      c.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db + "'"),
      Tables());
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell`"), "1000");
}

TEST_F(ServerTest, DatabaseNamesWithABacktickOrABlank) {
  for (const std::string& name : {prefix + "_we`ird", prefix + " spaced"}) {
    const RunResult r = Export(name);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Create database: " + name + "\n"), std::string::npos);
    std::string quoted;
    for (char ch : name) quoted += ch == '`' ? std::string("``") : std::string(1, ch);
    Client c(*server_);
    EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + quoted + "`.`vesk_rating`"), "100");
    EXPECT_EQ(Export(name).status, 0);
  }
}

// The habits of MySQL users: a socket instead of -h, an option file that
// supplies everything but -d (its [vesk-dbc2sql] group after [client], the
// command line over both), and no ~/.my.cnf unless asked for.
TEST_F(ServerTest, SocketAndOptionFile) {
  const std::string db = prefix + "_socket";
  const RunResult r =
      RunConverter(client_dir.path(), {"--socket=" + server_->socket, "-u", server_->user, "-p",
                                       server_->password, "--database", db});
  EXPECT_EQ(r.status, 0) << r.err;
  WriteFile(client_dir / "my.cnf", "[client]\nuser=" + server_->user +
                                       "\npassword=wrong\nsocket=" + server_->socket +
                                       "\n[vesk-dbc2sql]\npassword=" + server_->password + "\n");
  const RunResult file = RunConverter(client_dir.path(), {"--defaults-file=my.cnf", "-d", db});
  EXPECT_EQ(file.status, 0) << file.out.substr(0, 500);
  EXPECT_EQ(RunConverter(client_dir.path(), {"--defaults-file", "my.cnf", "-p", "wrong", "-d", db})
                .status,
            1)
      << "the command line wins";
  // A forgotten ~/.my.cnf with a wrong password changes nothing.
  WriteFile(client_dir / ".my.cnf", "[client]\npassword=wrong\n");
  const char* home = std::getenv("HOME");
  const std::string saved = home ? home : "";
  ::setenv("HOME", client_dir.path().c_str(), 1);
  const RunResult plain = Export(db);
  ::setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(plain.status, 0);
}

// --password asks on the terminal, without echo.
TEST_F(ServerTest, ThePasswordAskedOnTheTerminal) {
  const std::string db = prefix + "_asked";
  // A terminal that passes the carriage return of Enter on (-icrnl).
  const std::string console = RunOnTerminal(
      client_dir.path(),
      "stty -icrnl; " + QuotedBinary() + " -h 127.0.0.1 -o " + server_->port + " -u " +
          server_->user + " --password -d " + db + "; echo \"exit status $?\"",
      {{"Enter password: ", server_->password + "\r\n"}});
  EXPECT_NE(console.find("Enter password: "), std::string::npos);
  EXPECT_EQ(console.find(server_->password), std::string::npos) << "not echoed";
  EXPECT_NE(console.find("exit status 0"), std::string::npos) << console;
  Client c(*server_);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_rating`"), "100");
  // A password given with the option is never asked for, even with no
  // terminal at all; --atomic into a database that has no tables yet.
  const std::string fresh = prefix + "_fresh";
  const std::string inline_password = "cd " + Quoted(client_dir.path()) + " && setsid -w " +
                                      QuotedBinary() + " -h 127.0.0.1 -o " + server_->port +
                                      " -u " + server_->user + " --password=" + server_->password +
                                      " -d " + fresh + " --atomic </dev/null >/dev/null 2>&1";
  EXPECT_EQ(Shell(inline_password), 0);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                    fresh + "'"),
            Tables());
}

// A CA of the test's own (and another one), a server certificate for
// 127.0.0.1 and a client certificate, made with openssl in `dir`.
bool MakeCertificates(const TempDir& certs) {
  const std::string make =
      "cd " + Quoted(certs.path()) +
      " && for ca in ca other; do openssl req -x509 -newkey rsa:2048 " +
      "-nodes -keyout $ca.key -out $ca.pem -days 2 -subj /CN=vesk-test-$ca 2>/dev/null; done && " +
      "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
      "/CN=127.0.0.1 " +
      "2>/dev/null && printf 'subjectAltName=IP:127.0.0.1\\n' >ext && openssl x509 -req -in " +
      "server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile ext " +
      "2>/dev/null && openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr " +
      "-subj /CN=client 2>/dev/null && openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key " +
      "-CAcreateserial -out client.pem -days 2 2>/dev/null && chmod 644 *";
  return Shell(make) == 0;
}

// TLS through the client library's options, against a server with a
// certificate of the test's own CA: the run really goes over TLS, another
// CA is refused at connect, the host name and client certificates checked.
TEST_F(ServerTest, TlsIsRequiredAndTheServerCertificateChecked) {
  TempDir certs;
  ASSERT_TRUE(MakeCertificates(certs));
  OwnServer own({"--ssl-ca=" + certs / "ca.pem", "--ssl-cert=" + certs / "server.pem",
                 "--ssl-key=" + certs / "server.key"});
  ASSERT_TRUE(own.started());
  Client admin(own.server);
  const auto accepts = [&] {
    return std::stoi(admin.Rows("SHOW GLOBAL STATUS LIKE 'Ssl_accepts'")[0][1]);
  };
  const int before = accepts();
  const auto run = [&](const std::string& ca, const std::string& db) {
    std::vector<std::string> args = ServerArgs(own.server, db);
    args.insert(args.end(), {"--ssl", "--ssl-ca=" + certs / ca, "--ssl-verify-server-cert"});
    return RunConverter(client_dir.path(), args);
  };
  EXPECT_EQ(run("ca.pem", "tls").status, 0);
  EXPECT_GT(accepts(), before);
  const RunResult other = run("other.pem", "other");
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.out.find("Connecting to MySQL server: \n "), std::string::npos);
  EXPECT_EQ(admin.Rows("SHOW DATABASES LIKE 'other'").size(), 0u);
  // The host name is checked when asked, by a flag on the command line or a
  // bare one in the option file: 127.1 reaches the server, whose
  // certificate names 127.0.0.1 alone.
  const auto by = [&](const std::string& host, const std::string& user,
                      std::vector<std::string> extra) {
    std::vector<std::string> args = {
        "-h", host, "-o", own.server.port, "-u", user, "-p", own.server.password, "-d", "named"};
    if (user != own.server.user) args[7] = "pw";
    args.insert(args.end(), extra.begin(), extra.end());
    return RunConverter(client_dir.path(), args);
  };
  const std::string ca = "--ssl-ca=" + certs / "ca.pem";
  EXPECT_EQ(by("127.1", own.server.user, {ca}).status, 0) << "the chain alone";
  const RunResult wrong = by("127.1", own.server.user, {ca, "--ssl-verify-server-cert"});
  EXPECT_EQ(wrong.status, 1);
  WriteFile(certs / "my.cnf",
            "[client]\nssl-ca=" + certs / "ca.pem" + "\nssl-verify-server-cert\n");
  EXPECT_EQ(by("127.1", own.server.user, {"--defaults-file=" + certs / "my.cnf"}).status, 1);
  EXPECT_EQ(by("127.0.0.1", own.server.user, {"--defaults-file=" + certs / "my.cnf"}).status, 0);
  // A user who must show a certificate connects with the client's.
  admin.Exec("CREATE USER 'x509'@'127.0.0.1' IDENTIFIED BY 'pw' REQUIRE X509");
  admin.Exec("GRANT ALL ON *.* TO 'x509'@'127.0.0.1'");
  EXPECT_EQ(by("127.0.0.1", "x509", {ca}).status, 1);
  EXPECT_EQ(by("127.0.0.1", "x509",
               {"--ssl-cert=" + certs / "client.pem", "--ssl-key=" + certs / "client.key"})
                .status,
            0);
  const RunResult no_key = by("127.0.0.1", "x509", {"--ssl-key=" + certs / "none.key"});
  EXPECT_EQ(no_key.status, 1);
  EXPECT_NE(no_key.out.find("the --ssl-key file " + certs / "none.key" +
                            " cannot be read: No such file or directory"),
            std::string::npos)
      << no_key.out;
}

// --ssl (a CA asks for it) refuses a server without TLS before anything is
// created.
TEST_F(ServerTest, TlsIsRefusedByAServerWithout) {
  std::vector<std::string> args = ServerArgs(*server_, prefix + "_plain");
  WriteFile(client_dir / "ca.pem", "a CA\n");
  args.push_back("--ssl-ca=" + client_dir / "ca.pem");
  const RunResult plain = RunConverter(client_dir.path(), args);
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.out.find("Connecting to MySQL server: \n the server offers no TLS, which --ssl "
                           "requires\n"),
            std::string::npos);
  Client c(*server_);
  EXPECT_EQ(c.Rows("SHOW DATABASES LIKE '" + prefix + "_plain'").size(), 0u);
}

// A value larger than the server's packet limit fails its own row, with the
// limit named; the connection stays up and the run goes on.
TEST_F(OwnServerTest, AStatementLargerThanThePacketLimitFailsItsRowAndTheRunGoesOn) {
  OwnServer own;
  ASSERT_TRUE(own.started());
  Client admin(own.server);
  admin.Exec("SET GLOBAL max_allowed_packet = 32768");
  WriteLanguages(client_dir.path(), {"Common", std::string(40000, 'a'), "Orcish"});
  const RunResult r = RunConverter(client_dir.path(), ServerArgs(own.server, "world"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR sql command:\nINSERT INTO `vesk_languages` VALUES ('2', 'aaaa"),
            std::string::npos);
  EXPECT_EQ(CountOf(r.out, "ERROR sql command:"), 1u);
  EXPECT_NE(Unwrapped(r.err).find(
                "\n  vesk_languages (dbc/Languages.dbc): 1 of 3 rows, then the statement of 40047 "
                "bytes does not fit in the server's max_allowed_packet of 32768 bytes\n"),
            std::string::npos)
      << r.err;
  Client c(own.server);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_languages"), "1");
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_spell"), "1000");
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_rating"), "100");
  // At the limit: the packet is a command byte and the statement, and the
  // server takes it only below max_allowed_packet: a statement of 32766
  // bytes goes, one of 32767 does not. (The insert of row 2 is its name
  // and 47 bytes.)
  WriteLanguages(client_dir.path(), {"Common", std::string(32766 - 47, 'a'), "Orcish"});
  const RunResult fits =
      RunConverter(client_dir.path(), ServerArgs(own.server, "world") + "--tables=Languages");
  EXPECT_EQ(fits.status, 0) << fits.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM world.vesk_languages"), "3");
  WriteLanguages(client_dir.path(), {"Common", std::string(32767 - 47, 'a'), "Orcish"});
  const RunResult over =
      RunConverter(client_dir.path(), ServerArgs(own.server, "world") + "--tables=Languages");
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.err.find("Lost connection"), std::string::npos) << over.err;
  EXPECT_NE(Unwrapped(over.err).find("the statement of 32767 bytes does not fit in the server's "
                                     "max_allowed_packet of 32768 bytes"),
            std::string::npos)
      << over.err;
}

TEST_F(ServerTest, WorksWithoutTheLockTablesPrivilege) {
  const std::string db = prefix + "_nolock";
  Client admin(*server_);
  admin.Exec("CREATE DATABASE `" + db + "`");
  admin.Exec("DROP USER IF EXISTS 'nolock'@'127.0.0.1'");
  admin.Exec("CREATE USER 'nolock'@'127.0.0.1' IDENTIFIED BY 'pw'");
  admin.Exec("GRANT SELECT, INSERT, CREATE, DROP, ALTER, INDEX ON `" + db +
             "`.* TO 'nolock'@'127.0.0.1'");
  const RunResult r = RunConverter(client_dir.path(), {"-h", "127.0.0.1", "-o", server_->port, "-u",
                                                       "nolock", "-p", "pw", "-d", db});
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell`"), "1000");
  admin.Exec("DROP USER 'nolock'@'127.0.0.1'");
}

// A column the user converted to utf8mb4 holds a 4-byte character: --verify
// sees it differ from the client, and --write-dbc writes its real bytes.
TEST_F(ServerTest, FourByteCharactersAreReadAsStored) {
  const std::string db = prefix + "_mb4";
  ASSERT_EQ(Export(db, {"--tables=Spell"}).status, 0);
  Client c(*server_);
  const std::string spell = "`" + db + "`.vesk_spell";
  c.Exec("ALTER TABLE " + spell + " CONVERT TO CHARACTER SET utf8mb4");
  c.Exec("SET NAMES utf8mb4");
  c.Exec("UPDATE " + spell +
         " SET SpellName = 'A\xF0\x9F\x98\x80"
         "B' WHERE id = 4");
  const RunResult verify =
      RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--verify" + "--tables=Spell");
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.out.find("vesk_spell: 1 row differs: id 4 (SpellName)\n"), std::string::npos)
      << verify.out;
  std::filesystem::create_directories(client_dir / "mb4");
  const RunResult written = RunConverter(
      client_dir.path(), ServerArgs(*server_, db) + "--write-dbc=mb4" + "--tables=Spell");
  EXPECT_EQ(written.status, 0) << written.err;
  const std::string file = ReadFile(client_dir / "mb4/Spell.dbc");
  EXPECT_NE(file.find(std::string("\0A\xF0\x9F\x98\x80"
                                  "B\0",
                                  7)),
            std::string::npos);
  EXPECT_EQ(file.find(std::string("\0A?B\0", 5)), std::string::npos);
}

}  // namespace
