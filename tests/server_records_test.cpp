// What the database remembers of each table: records, edits kept,
// --skip-unchanged, -l auto, the run report, and the administrator's cycle.
// Against the real MariaDB server the fixture starts (tests/CMakeLists.txt).
#include "support/server_fixture.h"

namespace {

// One step of the administrator's cycle: what is done first, the run's
// options, its exit status and what it says.
struct CycleStep {
  const char* what;
  std::function<void()> before;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> says;
};

class CycleTest : public ServerTest {
 protected:
  void RunStep(const std::string& db, const CycleStep& step) {
    SCOPED_TRACE(step.what);
    step.before();
    const RunResult r = RunConverter(client_dir.path(), ServerArgs(*server_, db) + step.args);
    EXPECT_EQ(r.status, step.status) << r.out << r.err;
    for (const std::string& said : step.says)
      EXPECT_NE(Unwrapped(r.out + r.err).find(said), std::string::npos) << said << "\n"
                                                                        << r.out << r.err;
  }
  // The edits as SQL, applied to a fresh load of the updated client: the
  // edit and the update both, as the database holds them.
  void ExpectEditsCarriedOver(const std::string& db) {
    Client c(*server_);
    ASSERT_EQ(Export(db + "_new").status, 0);
    ASSERT_EQ(LoadAsTheReadmeSays(*server_, db + "_new", client_dir / "edits.sql"), 0);
    for (const char* table : {"vesk_spell", "vesk_languages"})
      EXPECT_EQ(c.Rows("CHECKSUM TABLE `" + db + "_new`." + table)[0][1],
                c.Rows("CHECKSUM TABLE `" + db + "`." + table)[0][1])
          << table;
  }
};

// The administrator's cycle, night after night: load, edit, keep the edit,
// patch, copy the patch into the client, reload clean, undo the edit and
// patch again, keep the edits as SQL, update the client, carry the edits
// over. Each step: what is done first, the run's options, its exit status
// and what it says.
TEST_F(CycleTest, TheAdministratorsCycleEndsCleanEveryNight) {
  const std::string db = prefix + "_cycle", in = "`" + db + "`.";
  const std::string spell = ReadFile(client_dir / "dbc/Spell.dbc");
  Client c(*server_);
  std::filesystem::create_directories(client_dir / "patch");
  const auto edit = [&](const std::string& to) {
    return
        [&, to] { c.Exec("UPDATE " + in + "vesk_spell SET SpellName = " + to + " WHERE id = 4"); };
  };
  std::string original;

  const std::vector<CycleStep> steps = {
      {"load", [] {}, {}, 0, {}},
      {"edit, reload keeping it",
       [&] {
         original = c.Value("SELECT SpellName FROM " + in + "vesk_spell WHERE id = 4");
         edit("'Edited'")();
       },
       {"--keep-edited"},
       0,
       {"vesk_spell: changed on the server since"}},
      {"patch",
       [] {},
       {"--write-dbc=patch", "--changed-only"},
       0,
       {"Disconnect\npatch/Spell.dbc\n"}},
      {"copy in, reload",
       [&] { WriteFile(client_dir / "dbc/Spell.dbc", ReadFile(client_dir / "patch/Spell.dbc")); },
       {"--skip-unchanged"},
       0,
       {"vesk_spell: unchanged, skipped", Tables() + " tables were unchanged"}},
      {"undo the edit and the patch, patch again",
       [&] {
         WriteFile(client_dir / "dbc/Spell.dbc", spell);
         edit("'" + original + "'")();
       },
       {"--write-dbc=patch", "--changed-only"},
       0,
       {"patch/Spell.dbc of an earlier patch removed"}},
      {"reload from the unpatched client", [] {}, {}, 0, {}},
      {"edit, keep it as SQL",
       edit("'Edited again'"),
       {"--verify", "--diff-sql=edits.sql"},
       1,
       {"vesk_spell: 1 row differs: id 4 (SpellName)"}},
      {"update the client, reload keeping the edit",
       [&] {
         WriteLanguages(client_dir.path(), {"Common", "Updated"});
       },
       {"--keep-edited"},
       0,
       {"vesk_languages: replaced from dbc\\Languages.dbc, whose bytes are not those",
        "vesk_spell: changed on the server since"}},
  };
  for (const CycleStep& step : steps) RunStep(db, step);
  EXPECT_TRUE(std::filesystem::is_empty(client_dir / "patch"));
  ExpectEditsCarriedOver(db);
}

// --verify: a database loaded by the tool and one loaded from the script
// both equal the client; after edits it names each difference, and it
// changes nothing.
// The JSON report of a server run, one interrupted, and a --verify, read
// back by parsing them.
TEST_F(ServerTest, TheReportOfServerRunsAndOfVerify) {
  MakeSampleClient(client_dir.path(), {"--rows", "Spell:20000"});
  const std::string db = prefix + "_report";
  const auto report = [&](const std::string& name) {
    return nlohmann::json::parse(ReadFile(client_dir / name));
  };
  ASSERT_EQ(Export(db, {"--report=load.json", "--quiet"}).status, 0);
  const nlohmann::json load = report("load.json");
  EXPECT_EQ(load["mode"], "export");
  EXPECT_EQ(load["output"], "server");
  EXPECT_EQ(load["exit_status"], 0);
  EXPECT_EQ(load["totals"]["exported"], CatalogueSize());
  EXPECT_FALSE(load["options"].contains("password"));
  for (const auto& table : load["tables"]) EXPECT_EQ(table["rows"], table["records"]) << table;

  // Interrupted: the table held is partial, the rest not reached.
  std::vector<std::string> args = ServerArgs(*server_, db);
  args.insert(args.end(), {"--parallel=1", "--report=stopped.json"});
  PausedRun run(client_dir.path(), args, {"rows:vesk_spell"});
  run.WaitHeld();
  run.Signal(SIGTERM);
  ASSERT_EQ(run.Finish().status, 128 + SIGTERM);
  const nlohmann::json stopped = report("stopped.json");
  EXPECT_EQ(stopped["exit_status"], 128 + SIGTERM);
  EXPECT_EQ(stopped["interrupted_by"], "SIGTERM");
  for (const auto& table : stopped["tables"])
    if (table["table"] == "vesk_spell") {
      EXPECT_EQ(table["status"], "partial");
      EXPECT_EQ(table["cause"]["kind"], "interrupted");
      EXPECT_GT(table["rows"].get<int>(), 0);
    }
  EXPECT_GT(stopped["totals"].value("not_reached", 0), 0);

  // --verify, after the load again and one edit.
  ASSERT_EQ(Export(db, {"--quiet"}).status, 0);
  Client c(*server_);
  c.Exec("UPDATE `" + db + "`.vesk_spell SET SpellName = 'Changed' WHERE id = 4");
  args = ServerArgs(*server_, db);
  args.insert(args.end(), {"--verify", "--report=verify.json"});
  EXPECT_EQ(RunConverter(client_dir.path(), args).status, 1);
  const nlohmann::json verify = report("verify.json");
  EXPECT_EQ(verify["mode"], "verify");
  EXPECT_EQ(verify["exit_status"], 1);
  EXPECT_EQ(verify["totals"]["differs"], 1);
  EXPECT_EQ(verify["totals"]["equal"], CatalogueSize() - 1);
  for (const auto& table : verify["tables"])
    if (table["table"] == "vesk_spell") {
      EXPECT_EQ(table["status"], "differs");
      EXPECT_TRUE(table["line"].get<std::string>().starts_with("vesk_spell: 1 row differs: id 4"))
          << table["line"];
      ASSERT_EQ(table["values"].size(), 1u) << table;
      EXPECT_EQ(table["values"][0]["key"], "id 4");
      EXPECT_EQ(table["values"][0]["column"], "SpellName");
      EXPECT_EQ(table["values"][0]["database"], "Changed");
    }
}

// An edit made by another session while a table loads is never taken for
// the client's rows: queued behind the load's lock, or made to the InnoDB
// rows already committed, it is told as an edit by the next reload (the
// record holds the rows sent); made to the live table
// while --atomic loads its staging table, it is kept and the new rows go.
TEST_F(ServerTest, AnEditMadeWhileATableLoadsIsKeptOrTold) {
  const std::vector<std::vector<std::string>> modes = {
      {}, {"--engine=InnoDB"}, {"--atomic"}, {"--atomic", "--engine=InnoDB"}};
  for (const std::vector<std::string>& mode : modes) {
    const bool atomic = mode.size() == 2 || (mode.size() == 1 && mode[0] == "--atomic");
    const std::string db = prefix + "_" + std::to_string(&mode - modes.data());
    SCOPED_TRACE(db);
    ASSERT_EQ(Export(db, mode).status, 0);
    std::vector<std::string> args = ServerArgs(*server_, db);
    args.insert(args.end(), mode.begin(), mode.end());
    PausedRun run(client_dir.path(), args, {"rows:vesk_spell"});
    run.WaitHeld();
    std::thread editor([&] {
      Client(*server_).Exec("UPDATE `" + db +
                            "`.vesk_spell SET SpellName = 'Edited meanwhile' WHERE id = 4");
    });
    Client admin(*server_);
    if (!atomic && mode.empty())  // the edit waits for the load's lock
      admin.AwaitRows(
          "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE "
          "'UPDATE%Edited meanwhile%' AND STATE LIKE '%lock%'",
          1);
    else  // on rows already committed
      editor.join();
    run.Release();
    const RunResult r = run.Finish();
    if (editor.joinable()) editor.join();
    EXPECT_EQ(admin.Value("SELECT SpellName FROM `" + db + "`.vesk_spell WHERE id = 4"),
              "Edited meanwhile");
    if (atomic) {
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.out.find("vesk_spell: changed on the server while its staging table loaded"),
                std::string::npos)
          << r.out;
      EXPECT_EQ(
          admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                      "' AND TABLE_NAME LIKE '%\\_\\_%'"),
          "0");
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      const RunResult again = Export(db, {"--tables=Spell"});
      EXPECT_EQ(again.status, 1);
      EXPECT_NE(again.out.find("vesk_spell: changed on the server since"), std::string::npos)
          << again.out;
    }
  }
}

// A table edited on the server since the tool loaded it is kept by a
// reload, which fails, until --replace-edited; with every engine and
// --atomic. A table the tool did not load (from a script) is replaced.
TEST_F(ServerTest, EditsSurviveAReloadUntilReplaceEditedIsGiven) {
  Client c(*server_);
  int n = 0;
  for (const std::vector<std::string>& how : {std::vector<std::string>{},
                                              {"--atomic"},
                                              {"--engine=InnoDB"},
                                              {"--engine=InnoDB", "--atomic"}}) {
    const std::string db = prefix + "_" + std::to_string(n++);
    SCOPED_TRACE(db);
    const auto run = [&](std::vector<std::string> more) {
      more.insert(more.end(), how.begin(), how.end());
      return Export(db, more);
    };
    ASSERT_EQ(run({"--quiet"}).status, 0);
    const std::string in = "`" + db + "`.";
    const auto record_of = [&](const char* table) {
      return c.Value("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                     db + "' AND TABLE_NAME = '" + table + "'");
    };
    const std::string comment = record_of("vesk_spell");
    EXPECT_TRUE(comment.starts_with("vesk-dbc2sql run ")) << comment;
    EXPECT_NE(comment.find("; file=dbc\\Spell.dbc; size="), std::string::npos) << comment;
    c.Exec("UPDATE " + in + "vesk_spell SET SpellName = 'Edited' WHERE id = 4");
    c.Exec("INSERT INTO " + in + "vesk_languages (id, name) VALUES (99999, 'added')");
    const std::string zones = record_of("vesk_zones");
    const RunResult kept = run({"--report=kept.json"});
    EXPECT_EQ(kept.status, 1) << kept.err;
    for (const char* table : {"vesk_spell", "vesk_languages"})
      EXPECT_NE(kept.out.find(std::string("\n") + table +
                              ": changed on the server since vesk-dbc2sql loaded it on "),
                std::string::npos)
          << kept.out;
    EXPECT_NE(Unwrapped(kept.err).find("not replaced; --replace-edited replaces it"),
              std::string::npos)
        << kept.err;
    EXPECT_EQ(c.Value("SELECT SpellName FROM " + in + "vesk_spell WHERE id = 4"), "Edited");
    EXPECT_EQ(c.Value("SELECT name FROM " + in + "vesk_languages WHERE id = 99999"), "added");
    // Every other table is reloaded, and recorded anew.
    EXPECT_NE(record_of("vesk_zones"), zones);
    EXPECT_TRUE(record_of("vesk_zones").starts_with("vesk-dbc2sql run "));
    const nlohmann::json report = nlohmann::json::parse(ReadFile(client_dir / "kept.json"));
    EXPECT_EQ(report["totals"]["failed"], 2) << report["totals"];
    const nlohmann::json& spell = report["tables"][29];  // (the catalogue's 30th table)
    EXPECT_EQ(spell["table"].get<std::string>() + " " + spell["cause"].value("kind", ""),
              "vesk_spell edited");

    const RunResult replaced = run({"--replace-edited", "--quiet"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_NE(Unwrapped(replaced.err).find("vesk_spell was changed on the server since"),
              std::string::npos)
        << replaced.err;
    EXPECT_NE(c.Value("SELECT SpellName FROM " + in + "vesk_spell WHERE id = 4"), "Edited");
    EXPECT_EQ(c.Value("SELECT COUNT(*) FROM " + in + "vesk_languages WHERE id = 99999"), "0");
    // No staging or retired table is left.
    EXPECT_EQ(c.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                      "' AND TABLE_NAME LIKE '%\\_\\_%'"),
              "0");
  }
}

// Records and users with fewer rights: one who may not read a recorded
// table cannot compare it (kept); one who may not ALTER loads as ever,
// without records, told once.
TEST_F(ServerTest, AUserWithFewerRightsKeepsOrLoadsAsEver) {
  Client c(*server_);
  // A user who may not read the table cannot compare its checksum: kept.
  const std::string kept_db = prefix + "_nosel";
  ASSERT_EQ(Export(kept_db, {"--tables=Spell", "--quiet"}).status, 0);
  c.Exec("DROP USER IF EXISTS 'nosel'@'127.0.0.1'");
  c.Exec("CREATE USER 'nosel'@'127.0.0.1' IDENTIFIED BY 'pw'");
  c.Exec("GRANT INSERT, CREATE, DROP, ALTER, INDEX, LOCK TABLES ON `" + kept_db +
         "`.* TO 'nosel'@'127.0.0.1'");
  const RunResult unread =
      RunConverter(client_dir.path(), {"-h", "127.0.0.1", "-o", server_->port, "-u", "nosel", "-p",
                                       "pw", "-d", kept_db, "--tables=Spell", "--parallel=1"});
  c.Exec("DROP USER 'nosel'@'127.0.0.1'");
  EXPECT_EQ(unread.status, 1);
  EXPECT_NE(unread.out.find("vesk_spell: its checksum cannot be had to compare with its record "
                            "(ERROR 1142"),
            std::string::npos)
      << unread.out << unread.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + kept_db + "`.vesk_spell"), "1000");

  // A user who may not ALTER loads as ever, without records, said once.
  const std::string bare = prefix + "_bare";
  c.Exec("DROP USER IF EXISTS 'noalter'@'127.0.0.1'");
  c.Exec("CREATE USER 'noalter'@'127.0.0.1' IDENTIFIED BY 'pw'");
  c.Exec("GRANT SELECT, INSERT, CREATE, DROP, INDEX, LOCK TABLES ON `" + bare +
         "`.* TO 'noalter'@'127.0.0.1'");
  const RunResult unrecorded = RunConverter(
      client_dir.path(), {"-h", "127.0.0.1", "-o", server_->port, "-u", "noalter", "-p", "pw", "-d",
                          bare, "--tables=Spell,AreaTable,Lock,LockType", "--parallel=3"});
  c.Exec("DROP USER 'noalter'@'127.0.0.1'");
  EXPECT_EQ(unrecorded.status, 0) << unrecorded.err;
  EXPECT_EQ(CountOf(Unwrapped(unrecorded.err), "cannot be kept"), 1u) << unrecorded.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + bare +
                    "' AND TABLE_COMMENT <> ''"),
            "0");
}

// A table loaded from the script has no record: replaced as ever.
TEST_F(ServerTest, ATableLoadedFromTheScriptIsReplacedAsEver) {
  Client c(*server_);
  const std::string db = prefix + "_script";
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql"}).status, 0);
  c.Exec("CREATE DATABASE `" + db + "`");
  ASSERT_EQ(LoadAsTheReadmeSays(*server_, db, client_dir / "out.sql"), 0);
  c.Exec("UPDATE `" + db + "`.vesk_spell SET SpellName = 'Edited' WHERE id = 4");
  EXPECT_EQ(Export(db, {"--quiet"}).status, 0);
  EXPECT_NE(c.Value("SELECT SpellName FROM `" + db + "`.vesk_spell WHERE id = 4"), "Edited");
}

// A record cut short on the server counts as an edit; one copied from
// another table is not this table's record.
TEST_F(ServerTest, ADamagedRecordIsAnEditAndACopiedOneIsNone) {
  const std::string db = prefix + "_damaged";
  ASSERT_EQ(Export(db, {"--quiet"}).status, 0);
  Client c(*server_);
  const auto comment = [&](const char* table) {
    return c.Value("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                   db + "' AND TABLE_NAME = '" + table + "'");
  };
  const std::string lock = comment("vesk_lock");
  c.Exec("ALTER TABLE `" + db + "`.vesk_lock COMMENT = '" +
         lock.substr(0, lock.find("; checksum")) + "'");
  c.Exec("ALTER TABLE `" + db + "`.vesk_lock_type COMMENT = '" + lock + "'");
  const RunResult damaged = Export(db, {"--tables=Lock,LockType"});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("vesk_lock: its record cannot be read (\"vesk-dbc2sql run "),
            std::string::npos)
      << damaged.out;
  EXPECT_EQ(damaged.out.find("vesk_lock_type: "), std::string::npos) << damaged.out;
  EXPECT_EQ(Export(db, {"--tables=Lock", "--replace-edited", "--quiet"}).status, 0);
}

// An InnoDB table's record holds the checksum of the rows sent, computed
// by the tool: it is the server's own CHECKSUM TABLE of every table, texts
// in utf8 or utf8mb4, floats at their edges included.
TEST_F(ServerTest, AnInnoDBRecordHoldsTheServersChecksumOfTheRows) {
  for (const char* charset : {"--engine=InnoDB", "--utf8mb4"}) {
    const std::string db = prefix + "_sum" + std::to_string(charset[2] == 'u');
    ASSERT_EQ(Export(db, {"--engine=InnoDB", charset, "--quiet"}).status, 0);
    Client c(*server_);
    const auto tables = c.Rows(
        "SELECT TABLE_NAME, REGEXP_SUBSTR(TABLE_COMMENT, "
        "'(?<=checksum=)[0-9]+') FROM information_schema.TABLES "
        "WHERE TABLE_SCHEMA = '" +
        db + "'");
    EXPECT_EQ(tables.size(), 42u);
    for (const auto& table : tables)
      EXPECT_EQ(c.Rows("CHECKSUM TABLE `" + db + "`.`" + table[0] + "`")[0][1], table[1])
          << charset << " " << table[0];
  }
}

// --skip-unchanged after a client patch of one file loads that table only,
// and a rerun after a failure loads only the table that failed.
TEST_F(ServerTest, SkipUnchangedLoadsOnlyWhatChanged) {
  const std::string db = prefix + "_skip";
  ASSERT_EQ(Export(db, {"--quiet"}).status, 0);
  Client c(*server_);
  const auto checksum = [&](const char* table) {
    return c.Rows("CHECKSUM TABLE `" + db + "`." + table)[0][1];
  };
  const std::string zones = checksum("vesk_zones");
  // The patch: one value of AreaTable's first record.
  std::string area = ReadFile(client_dir / "dbc/AreaTable.dbc");
  area[20 + 4 * 2] ^= 1;
  WriteFile(client_dir / "dbc/AreaTable.dbc", area);
  const auto statuses = [&](const RunResult& r) {
    std::map<std::string, std::string> by_table;
    const nlohmann::json report = nlohmann::json::parse(ReadFile(client_dir / "skip.json"));
    for (const auto& table : report["tables"]) by_table[table["table"]] = table["status"];
    EXPECT_EQ(by_table.size(), CatalogueSize()) << r.err;
    return by_table;
  };
  RunResult r = Export(db, {"--skip-unchanged", "--report=skip.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountOf(r.out, ": unchanged, skipped\n"), CatalogueSize() - 1) << r.out;
  std::map<std::string, std::string> by_table = statuses(r);
  EXPECT_EQ(by_table["vesk_zones"], "exported");
  EXPECT_EQ(by_table["vesk_rating"], "skipped");
  EXPECT_EQ(by_table["vesk_spell"], "skipped");
  EXPECT_NE(checksum("vesk_zones"), zones);

  // A table that failed is the one a rerun loads.
  const std::string lock = ReadFile(client_dir / "dbc/Lock.dbc");
  ::unlink((client_dir / "dbc/Lock.dbc").c_str());
  c.Exec("DROP TABLE `" + db + "`.vesk_lock");
  EXPECT_EQ(Export(db, {"--skip-unchanged", "--quiet"}).status, 1);
  WriteFile(client_dir / "dbc/Lock.dbc", lock);
  r = Export(db, {"--skip-unchanged", "--report=skip.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  by_table = statuses(r);
  EXPECT_EQ(by_table["vesk_lock"], "exported");
  for (const auto& [table, status] : by_table)
    if (table != "vesk_lock") {
      EXPECT_EQ(status, "skipped") << table;
    }
  // Another slot is another source: nothing is skipped (and tables with
  // texts are replaced only as --replace-edited asks).
  r = Export(db, {"--skip-unchanged", "-l", "2", "--replace-edited", "--report=skip.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& [table, status] : statuses(r)) EXPECT_EQ(status, "exported") << table;
}

// A table whose schema was changed on the server is never skipped, and is
// skipped again once it is the catalogue's.
TEST_F(ServerTest, ASchemaChangedOnTheServerIsNeverSkipped) {
  const std::string db = prefix + "_schema";
  Client c(*server_);
  RunResult r;
  for (const std::string alter :
       {"CHANGE `name` `title` text NOT NULL", "MODIFY `id` int(11) NOT NULL", "DROP PRIMARY KEY",
        "ENGINE=InnoDB", "MODIFY `name` text NULL"}) {
    ASSERT_EQ(Export(db, {"--tables=Languages", "--replace-edited", "--quiet"}).status, 0);
    c.Exec("ALTER TABLE `" + db + "`.vesk_languages " + alter);
    r = Export(db, {"--skip-unchanged", "--tables=Languages", "--replace-edited"});
    EXPECT_EQ(r.status, 0) << alter << r.err;
    EXPECT_EQ(r.out.find("unchanged, skipped"), std::string::npos) << alter << r.out;
    r = Export(db, {"--skip-unchanged", "--tables=Languages"});
    EXPECT_NE(r.out.find("vesk_languages: unchanged, skipped"), std::string::npos)
        << alter << r.out;
  }
}

// -l auto on a client whose tables keep their texts in different slots
// loads each table from its own slot, and the way back reads each at the
// slot its record names: --verify equal, --write-dbc byte-identical. A run
// at one slot then keeps the tables of another.
TEST_F(ServerTest, AutoLocaleLoadsEachTableFromItsOwnSlot) {
  MakeSampleClient(client_dir.path(), {"--slot", "Spell:8", "--slot", "ChrClasses:8", "--slot",
                                       "AreaTable:0", "--slot", "TalentTab:8"});
  const std::string db = prefix + "_auto";
  const RunResult load = Export(db, {"-l", "auto"});
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_NE(load.out.find("Open DBC file: dbc\\Spell.dbc\nChange locale to: enCN\n"),
            std::string::npos)
      << load.out;
  EXPECT_NE(load.out.find("Open DBC file: dbc\\AreaTable.dbc\nChange locale to: enGB\n"),
            std::string::npos)
      << load.out;
  EXPECT_EQ(load.err.find("has no texts in slot"), std::string::npos) << load.err;
  Client c(*server_);
  EXPECT_NE(c.Value("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                    db + "' AND TABLE_NAME = 'vesk_spell'")
                .find("; slot=8; "),
            std::string::npos);
  EXPECT_EQ(c.Value("SELECT SpellName FROM `" + db + "`.vesk_spell WHERE id = 1").substr(0, 6),
            "[enCN]");

  const RunResult verify = RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--verify");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  std::filesystem::create_directories(client_dir / "back");
  const RunResult back =
      RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--write-dbc=back");
  ASSERT_EQ(back.status, 0) << back.out << back.err;
  for (const auto& entry : std::filesystem::directory_iterator(client_dir / "dbc"))
    EXPECT_EQ(ReadFile(client_dir / ("back/" + entry.path().filename().string())),
              ReadFile(entry.path().string()))
        << entry.path();

  // Asked at one slot: the tables of another are kept, naming both slots.
  const RunResult one = Export(db, {"-l", "0", "--tables=Spell,AreaTable"});
  EXPECT_EQ(one.status, 1);
  EXPECT_NE(one.out.find("vesk_spell: loaded from slot 8 (enCN); this run's slot 0 (enGB) would "
                         "replace its texts: not replaced; --replace-edited replaces it"),
            std::string::npos)
      << one.out;
  EXPECT_EQ(c.Value("SELECT SpellName FROM `" + db + "`.vesk_spell WHERE id = 1").substr(0, 6),
            "[enCN]");
  const RunResult compared =
      RunConverter(client_dir.path(), ServerArgs(*server_, db) + "--verify" + "-l" + "0");
  EXPECT_EQ(compared.status, 1);
  EXPECT_NE(compared.out.find("vesk_spell: cannot be compared: loaded from slot 8 (enCN), not "
                              "-l's slot 0 (enGB)"),
            std::string::npos)
      << compared.out;
  // Again at -l auto, nothing changed: every table skipped.
  const RunResult again = Export(db, {"-l", "auto", "--skip-unchanged"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(CountOf(again.out, ": unchanged, skipped\n"), CatalogueSize()) << again.out;
}

}  // namespace
