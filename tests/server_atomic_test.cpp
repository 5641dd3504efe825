// --atomic and its staging tables, and the waits and faults of a load: locks,
// readers, signals, lost connections and servers that stop.
// Against the real MariaDB server the fixture starts (tests/CMakeLists.txt).
#include "support/server_fixture.h"

namespace {

// --atomic: a table whose reload fails keeps its old rows; the others are
// swapped in whole; the console names the real table; no staging table is
// left behind.
TEST_F(DuplicateKeyTest, AtomicReloadsKeepAFailedTableAsItWas) {
  const std::string db = prefix + "_atomic";
  Client c(*server_);
  ASSERT_EQ(Export(db).status, 1);
  c.Exec("INSERT INTO `" + db + "`.`vesk_spell_cast_time` VALUES (999999, 1, 2, 3)");
  c.Exec("DELETE FROM `" + db + "`.`vesk_zones`");
  const RunResult r = Export(db, {"--atomic", "--replace-edited"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR sql command:\nINSERT INTO `vesk_spell_cast_time` VALUES ("),
            std::string::npos);
  EXPECT_EQ(r.out.find("__new"), std::string::npos);
  // Record 5 repeats the key of record 4: the sixth row is refused.
  EXPECT_NE(Unwrapped(r.err).find("\n  vesk_spell_cast_time (dbc/SpellCastTimes.dbc): refused at "
                                  "row 6 (ERROR 1062 (23000): Duplicate entry"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(Unwrapped(r.err).ends_with("); its old rows are kept\n")) << r.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell_cast_time`"), "6")
      << "the old rows, the test's own among them";
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_zones`"),
            std::to_string(RawTable(client_dir.path() + "/dbc/AreaTable.dbc").Records()));
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                    "' AND TABLE_NAME LIKE '%\\_\\_%'"),
            "0");
}

// Two --atomic runs into one database at once, with a reader querying all
// the while: the second waits for the first (a named lock per database),
// no reader ever sees a table missing or short of rows, and only tables
// with the tool's mark are ever dropped.
TEST_F(ServerTest, OverlappingAtomicRunsTakeTurnsAndReadersSeeWholeTables) {
  const std::string db = prefix + "_overlap";
  ASSERT_EQ(Export(db).status, 0);
  Client c(*server_);
  const std::string in = "`" + db + "`.";
  c.Exec("CREATE TABLE " + in + "vesk_spell__old (backup INT) ENGINE=MyISAM");
  c.Exec("CREATE TABLE " + in + "vesk_spell__new (backup INT) ENGINE=MyISAM");
  c.Exec("CREATE TABLE " + in + "vesk_zones__old_cafecafe (backup INT) ENGINE=MyISAM");
  c.Exec("CREATE TABLE " + in +
         "vesk_spell__new_deadbeef (x INT) ENGINE=MyISAM COMMENT='vesk-dbc2sql run deadbeef'");
  const auto expected = RowCounts(c, db);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    Client r(*server_);
    while (!done) {
      for (const char* table : {"vesk_spell", "vesk_totem_category", "vesk_rating"}) {
        const auto rows = r.Rows("SELECT COUNT(*) FROM " + in + "`" + table + "`");
        bad += rows.empty() || rows[0][0] != expected.at(table);
        ++reads;
      }
    }
  });
  std::vector<std::string> args = ServerArgs(*server_, db);
  args.push_back("--atomic");
  Converter first(client_dir.path(), args), second(client_dir.path(), args);
  const RunResult a = first.Wait(), b = second.Wait();
  done = true;
  reader.join();
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_GT(reads, 0);
  EXPECT_EQ(bad, 0) << "a reader saw a table missing or short of rows";
  EXPECT_EQ(RowCounts(c, db), expected);
  const auto left =
      c.Rows("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
             "' AND TABLE_NAME LIKE '%\\_\\_%' ORDER BY TABLE_NAME");
  EXPECT_EQ(left, (std::vector<std::vector<std::string>>{
                      {"vesk_spell__new"}, {"vesk_spell__old"}, {"vesk_zones__old_cafecafe"}}))
      << "the user's tables stay; a killed run's marked staging table goes";
}

// A backup copied from a loaded table keeps the tool's mark, but its name
// does not carry the mark's id: it stays. A retired table whose name and
// mark carry the same id is the tool's leftover: it goes. A table without
// rows, first of its run, is swapped in too.
TEST_F(ServerTest, OnlyTheToolsOwnLeftoversGo) {
  const std::string db = prefix + "_leftovers", in = "`" + db + "`.";
  ASSERT_EQ(Export(db, {"--quiet"}).status, 0);
  Client c(*server_);
  c.Exec("CREATE TABLE " + in + "vesk_spell__old_20250101 LIKE " + in + "vesk_spell");
  ASSERT_NE(c.Value("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                    db + "' AND TABLE_NAME = 'vesk_spell__old_20250101'"),
            "");
  c.Exec("CREATE TABLE " + in +
         "vesk_zones__old_abcdef12 (x INT) ENGINE=MyISAM COMMENT='vesk-dbc2sql run abcdef12'");
  ASSERT_EQ(Export(db, {"--atomic", "--tables=TotemCategory"}).status, 0);
  EXPECT_EQ(c.Rows("SHOW TABLES FROM `" + db + "` LIKE 'vesk\\_spell\\_\\_old\\_20250101'").size(),
            1u);
  EXPECT_EQ(c.Rows("SHOW TABLES FROM `" + db + "` LIKE 'vesk\\_zones\\_\\_old\\_abcdef12'").size(),
            0u);

  // A table without rows, first of its run, is swapped in too (over a row
  // added on the server).
  c.Exec("INSERT INTO " + in + "vesk_spellfocus VALUES (1, 'old')");
  EXPECT_EQ(Export(db, {"--atomic", "--tables=SpellFocusObject", "--replace-edited"}).status, 0);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM " + in + "vesk_spellfocus"), "0");
  EXPECT_EQ(c.Rows("SHOW TABLES FROM `" + db + "` LIKE 'vesk\\_spellfocus\\_\\_%'").size(), 0u);
}

// A run that cannot have the lock waits, says so, and changes nothing; so
// does --verify, which reads no table a load is writing.
TEST_F(ServerTest, ARunThatCannotHaveTheLockWaitsAndChangesNothing) {
  Client c(*server_);
  const std::string other = "t_lockwait";  // short: lock names hold 64 characters
  c.Exec("DROP DATABASE IF EXISTS " + other);
  Client holder(*server_);
  ASSERT_EQ(holder.Value("SELECT GET_LOCK('vesk-dbc2sql:" + other + "', 0)"), "1");
  // (The wait is said after a second: --lock-wait leaves a wide margin for
  // a loaded machine.)
  const RunResult locked = Export(other, {"--lock-wait=4"});
  EXPECT_EQ(locked.status, 1);
  EXPECT_NE(Unwrapped(locked.err)
                .find("another run is loading database " + other +
                      "; waiting for it (at most 4 s, --lock-wait)"),
            std::string::npos)
      << locked.err;
  EXPECT_TRUE(locked.err.ends_with("for 4 s (--lock-wait); nothing was changed; exit status 1\n"))
      << locked.err;
  EXPECT_EQ(c.Rows("SHOW DATABASES LIKE '" + other + "'").size(), 0u);
  // So does --verify: it reads no table a load is writing.
  const RunResult verify = Export(other, {"--verify", "--lock-wait=1"});
  EXPECT_EQ(verify.status, 1);
  EXPECT_TRUE(verify.err.ends_with("(--lock-wait); nothing was changed; exit status 1\n"))
      << verify.err;
}

// The connection holding the run's lock is killed while another one loads
// a table: a second run takes the database's lock, but waits until that
// connection has ended before it changes anything; the first run stops
// before its next table, saying why, and lets its slot go.
TEST_F(ServerTest, ALostLockHolderKeepsTheNextRunWaiting) {
  const std::string db = "t_holder";  // short: lock names hold 64 characters
  Client admin(*server_);
  admin.Exec("DROP DATABASE IF EXISTS " + db);
  ASSERT_EQ(Export(prefix + "_clean").status, 0);
  std::vector<std::string> args = ServerArgs(*server_, db);
  PausedRun first(client_dir.path(), args + "--parallel=2",
                  {"table", "sibling-table", "slot-released:1"});
  const std::string holder = first.WaitHeld(0);
  const std::string sibling = ConnectionIdOf(first.WaitHeld(1));
  admin.Exec("KILL " + ConnectionIdOf(holder));
  Converter second(client_dir.path(), args + "--lock-wait=300");
  // The second run holds the database's lock and waits for the first run's
  // other connection.
  admin.AwaitRows(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE "
      "'SELECT GET_LOCK(''vesk-dbc2sql:" +
          db + "#1''%'",
      1);
  EXPECT_FALSE(second.Ended());
  first.Release(1);
  first.Release(0);
  // The stopped connection lets its slot go at once, not when its run ends.
  first.WaitHeld(2);
  EXPECT_NE(admin.Value("SELECT IFNULL(IS_USED_LOCK('vesk-dbc2sql:" + db + "#1'), 0)"), sibling);
  const RunResult stopped = first.Finish();
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(Unwrapped(stopped.err)
                .find("another run took the lock of database " + db +
                      " after the connection holding it was lost; this run stops"),
            std::string::npos)
      << stopped.err;
  const RunResult next = second.Wait();
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_NE(Unwrapped(next.err).find("connections of an earlier run still write to database " + db),
            std::string::npos)
      << next.err;
  for (const char* table : kTables)
    EXPECT_EQ(admin.Rows("CHECKSUM TABLE `" + db + "`." + table)[0][1],
              admin.Rows("CHECKSUM TABLE `" + prefix + "_clean`." + table)[0][1])
        << table;

  // Without another run, the lost holder's connection is made again and
  // takes the lock again: the run goes on.
  PausedRun again(client_dir.path(), args + "--parallel=2", {"table", "sibling-table"});
  admin.Exec("KILL " + ConnectionIdOf(again.WaitHeld(0)));
  again.WaitHeld(1);
  again.Release(1);
  again.Release(0);
  const RunResult resumed = again.Finish();
  EXPECT_NE(Unwrapped(resumed.err)
                .find("the lock of database " + db +
                      " went with a lost connection; the run took it again"),
            std::string::npos)
      << resumed.err;
  EXPECT_EQ(Unwrapped(resumed.err).find("this run stops"), std::string::npos) << resumed.err;
  admin.Exec("DROP DATABASE " + db);
}

// Under --atomic, a connection beside the first is killed while its table's
// rows go into the staging table: once made again, it drops that staging
// table, though the table it cut is no longer in memory.
TEST_F(ServerTest, ASiblingMadeAgainDropsTheStagingTableItLeft) {
  const std::string db = prefix + "_left";
  ASSERT_EQ(Export(db).status, 0);
  const std::vector<std::string> args = ServerArgs(*server_, db) + "--atomic" + "--parallel=2";
  // Which table the other connection takes first (the largest but one).
  PausedRun probe(client_dir.path(), args, {"sibling-table"});
  const std::string table = WordOf(probe.WaitHeld(), 1);
  probe.Release();
  ASSERT_EQ(probe.Finish().status, 0);
  PausedRun run(client_dir.path(), args, {"sibling-table", "rows:" + table});
  const std::string id = ConnectionIdOf(run.WaitHeld(0));
  run.Release(0);
  run.WaitHeld(1);
  Client admin(*server_);
  ASSERT_EQ(admin.Rows("SHOW TABLES FROM `" + db + "` LIKE '" + table + "\\_\\_new\\_%'").size(),
            1u)
      << "the staging table is there";
  admin.Exec("KILL " + id);
  run.Release(1);
  const RunResult r = run.Finish();
  EXPECT_NE(r.err.find("the connection to the server was lost"), std::string::npos) << r.err;
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                        db + "' AND TABLE_NAME LIKE '%\\_\\_%'"),
            "0")
      << r.err;
}

// A swap that waits for a reader of the old table says so, and gives up
// after the session's lock_wait_timeout: the table keeps its old rows and
// its failure is reported.
TEST_F(ServerTest, ASwapThatWaitsForReadersSaysSoAndGivesUp) {
  const std::string db = prefix + "_swap";
  ASSERT_EQ(Export(db).status, 0);
  Client admin(*server_), reader(*server_);
  const std::string table = "`" + db + "`.`vesk_spell_cast_time`";
  admin.Exec("INSERT INTO " + table + " VALUES (999999, 1, 2, 3)");
  const std::string before = admin.Value("SELECT COUNT(*) FROM " + table);
  // The swap says so after 2 s; the server gives up after --lock-wait (6 s,
  // a margin for a loaded machine), whatever its own lock_wait_timeout.
  reader.Exec("LOCK TABLES " + table + " READ");
  const RunResult r =
      Export(db, {"--atomic", "--tables=SpellCastTimes", "--lock-wait=6", "--replace-edited"});
  reader.Exec("UNLOCK TABLES");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(Unwrapped(r.err).find("vesk-dbc2sql: the swap of vesk_spell_cast_time waits for "
                                  "\"Waiting for table metadata lock\" (at most 6 s, --lock-wait)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("ERROR 1205"), std::string::npos) << r.err;
  // The echo is the RENAME that was sent, both of its names.
  EXPECT_NE(r.out.find("ERROR sql command:\nRENAME TABLE `vesk_spell_cast_time` TO "
                       "`vesk_spell_cast_time__"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("`vesk_spell_cast_time` TO `vesk_spell_cast_time`"), std::string::npos)
      << r.out;
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM " + table), before);
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                        db + "' AND TABLE_NAME LIKE '%\\_\\_%'"),
            "0");
}

// A reader's open transaction holds the table the load must drop or swap:
// the wait is said on standard error, names what it waits for, and ends at
// the first SIGTERM, which leaves the table as it was and no staging table.
TEST_F(ServerTest, AWaitForAReaderIsSaidAndEndsAtTheFirstSignal) {
  const std::string db = prefix + "_wait";
  ASSERT_EQ(Export(db).status, 0);
  Client admin(*server_), reader(*server_);
  const std::string table = "`" + db + "`.`vesk_spell_cast_time`";
  admin.Exec("INSERT INTO " + table + " VALUES (999999, 1, 2, 3)");
  const std::string before = admin.Value("SELECT COUNT(*) FROM " + table);
  reader.Exec("START TRANSACTION");
  reader.Value("SELECT COUNT(*) FROM " + table);
  // (The row added makes the table one edited since its load.)
  const std::vector<std::string> args =
      ServerArgs(*server_, db) + "--tables=SpellCastTimes" + "--lock-wait=300" + "--replace-edited";

  // Said, and the load goes on once the reader is done.
  PausedRun said(client_dir.path(), args, {"wait-said"});
  said.WaitHeld();
  reader.Exec("COMMIT");
  said.Release();
  const RunResult done = said.Finish();
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_NE(Unwrapped(done.err).find(
                "the statement DROP TABLE IF EXISTS `vesk_spell_cast_time`; waits for "
                "\"Waiting for table metadata lock\" (at most 300 s, --lock-wait)"),
            std::string::npos)
      << done.err;
  admin.Exec("INSERT INTO " + table + " VALUES (999999, 1, 2, 3)");

  // The first SIGTERM ends the drop's wait, and the swap's.
  for (const bool atomic : {false, true}) {
    reader.Exec("START TRANSACTION");
    reader.Value("SELECT COUNT(*) FROM " + table);
    Converter run(client_dir.path(), atomic ? args + "--atomic" : args);
    admin.AwaitRows(std::string("SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE '") +
                        (atomic ? "RENAME TABLE" : "DROP TABLE") + "%' AND STATE LIKE 'Waiting%'",
                    1);
    ::kill(run.pid(), SIGTERM);
    const RunResult r = run.Wait();
    reader.Exec("COMMIT");
    EXPECT_EQ(r.status, 128 + SIGTERM) << atomic << r.err;
    EXPECT_EQ(r.out.find("ERROR sql command"), std::string::npos) << atomic << r.out;
    EXPECT_NE(r.err.find("interrupted by SIGTERM"), std::string::npos) << atomic << r.err;
    EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM " + table), before) << atomic;
    EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                          db + "' AND TABLE_NAME LIKE '%\\_\\_%'"),
              "0")
        << atomic;
  }
}

// The first SIGTERM of --verify and --write-dbc ends their reads that wait
// for a writer's lock.
TEST_F(ServerTest, AReadThatWaitsForAWriterEndsAtTheFirstSignal) {
  const std::string db = prefix + "_readwait";
  ASSERT_EQ(Export(db, {"--quiet"}).status, 0);
  Client admin(*server_), reader(*server_);
  const std::string table = "`" + db + "`.`vesk_spell_cast_time`";
  std::filesystem::create_directories(client_dir / "wait_out");
  for (const std::string& mode : {std::string("--verify"), std::string("--write-dbc=wait_out")}) {
    reader.Exec("LOCK TABLES " + table + " WRITE");
    Converter run(client_dir.path(), ServerArgs(*server_, db) + "--tables=SpellCastTimes" + mode);
    admin.AwaitRows(
        "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE 'SELECT %' AND "
        "STATE LIKE 'Waiting%'",
        1);
    ::kill(run.pid(), SIGTERM);
    const RunResult r = run.Wait();
    reader.Exec("UNLOCK TABLES");
    EXPECT_EQ(r.status, 128 + SIGTERM) << mode << r.err;
    EXPECT_NE(r.err.find("interrupted by SIGTERM"), std::string::npos) << mode << r.err;
  }
}

// The rows of a table that wait (here for a global read lock, as a stalled
// server's would) end at the first SIGTERM, with the summary.
TEST_F(ServerTest, RowsThatWaitEndAtTheFirstSignal) {
  const std::string db = prefix + "_stall";
  Client admin(*server_);
  // Transactions of 300 rows: Spell's rows go in batches, one after another.
  admin.Exec("SET GLOBAL wsrep_max_ws_rows = 300");
  PausedRun run(client_dir.path(),
                ServerArgs(*server_, db) + "--engine=InnoDB" + "--tables=Spell" +
                    "--lock-wait=300" + "--parallel=1",
                {"rows:vesk_spell"});
  run.WaitHeld();
  admin.Exec("FLUSH TABLES WITH READ LOCK");
  run.Release();
  admin.AwaitRows(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE STATE LIKE 'Waiting for "
      "%lock' AND INFO LIKE 'INSERT%'",
      1);
  run.Signal(SIGTERM);
  const RunResult r = run.Finish();
  admin.Exec("UNLOCK TABLES");
  admin.Exec("SET GLOBAL wsrep_max_ws_rows = DEFAULT");
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_NE(r.err.find("vesk_spell (dbc/Spell.dbc): "), std::string::npos) << r.err;
  EXPECT_NE(Unwrapped(r.err).find(" rows, then interrupted by SIGTERM"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("ERROR sql command"), std::string::npos) << r.out;
}

// Under --atomic, another session's open transaction holds a row of the
// staging table that the run's rows wait for: the first SIGTERM ends the
// run within its second's wait for the DROP, which the transaction holds
// too; the staging table left is said, and the next run drops it.
TEST_F(ServerTest, AStagingTableHeldByAnotherTransactionIsSaidAndGoesNextRun) {
  const std::string db = prefix + "_held";
  Client admin(*server_), holder(*server_);
  ASSERT_EQ(Export(db, {"--engine=InnoDB", "--quiet"}).status, 0);
  admin.Exec("SET GLOBAL wsrep_max_ws_rows = 300");  // the rows go in several transactions
  PausedRun run(client_dir.path(),
                ServerArgs(*server_, db) + "--engine=InnoDB" + "--atomic" + "--tables=Spell" +
                    "--lock-wait=300" + "--parallel=1",
                {"rows:vesk_spell"});
  run.WaitHeld();
  const std::string staging =
      "`" + db + "`.`" +
      admin.Value("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                  "' AND TABLE_NAME LIKE 'vesk\\_spell\\_\\_new%'") +
      "`";
  const std::string later = std::to_string(RawTable(client_dir / "dbc/Spell.dbc").Field(900, 0));
  holder.Exec("CREATE TEMPORARY TABLE `" + db + "`.one SELECT * FROM " + staging + " LIMIT 1");
  holder.Exec("UPDATE `" + db + "`.one SET id = " + later);
  holder.Exec("START TRANSACTION");
  holder.Exec("INSERT INTO " + staging + " SELECT * FROM `" + db + "`.one");
  run.Release();
  // (Its insert of that row cannot end while the test's transaction lasts.)
  admin.AwaitRows(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE 'INSERT INTO "
      "`vesk\\_spell\\_\\_new%` VALUES (''" +
          later + "''%'",
      1);
  run.Signal(SIGTERM);
  const RunResult r = run.Finish();
  admin.Exec("SET GLOBAL wsrep_max_ws_rows = DEFAULT");
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_NE(
      Unwrapped(r.err).find("the staging table " + staging.substr(db.size() + 3) + " is left ("),
      std::string::npos)
      << r.err;
  EXPECT_NE(Unwrapped(r.err).find("); the next run of the tool drops it"), std::string::npos);
  holder.Exec("ROLLBACK");
  ASSERT_EQ(Export(db, {"--engine=InnoDB", "--tables=Languages", "--quiet"}).status, 0);
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                        db + "' AND TABLE_NAME LIKE '%\\_\\_%'"),
            "0");
}

// A transaction of rows chosen as a deadlock's victim (as a Galera cluster
// refuses one for a writer on another node, with the same ERROR 1213) goes
// again, and the table is loaded in full. The deadlock: the test's heavier
// transaction holds a row of the run's second transaction, which inserts
// the rows before it and waits; the test's transaction then asks for one of
// those, and the server rolls the lighter one, the run's, back.
TEST_F(ServerTest, ATransactionThatMetADeadlockGoesAgain) {
  const std::string db = prefix + "_deadlock";
  const RawTable spell(client_dir / "dbc/Spell.dbc");
  constexpr std::uint32_t kRows = 300;  // a transaction
  // Rows of the third transaction (the second goes out before the run is
  // held after the first): one it holds, and a later one it waits for.
  const std::string held = std::to_string(spell.Field(2 * kRows, 0));
  const std::string waited = std::to_string(spell.Field(2 * kRows + 10, 0));
  Client admin(*server_), heavy(*server_);
  admin.Exec("SET GLOBAL wsrep_max_ws_rows = " + std::to_string(kRows));
  PausedRun run(client_dir.path(),
                ServerArgs(*server_, db) + "--engine=InnoDB" + "--tables=Spell" + "--parallel=1",
                {"rows:vesk_spell"});
  run.WaitHeld();
  const std::string spells = "`" + db + "`.vesk_spell";
  heavy.Exec("CREATE TABLE `" + db + "`.scratch (n INT PRIMARY KEY) ENGINE=InnoDB");
  heavy.Exec("CREATE TEMPORARY TABLE `" + db + "`.one SELECT * FROM " + spells + " LIMIT 1");
  heavy.Exec("UPDATE `" + db + "`.one SET id = " + waited);
  heavy.Exec("START TRANSACTION");
  heavy.Exec("INSERT INTO `" + db + "`.scratch SELECT seq FROM `" + db + "`.seq_1_to_5000");
  heavy.Exec("INSERT INTO " + spells + " SELECT * FROM `" + db + "`.one");
  run.Release();
  // (Its insert of that row cannot end while the test's transaction lasts.)
  admin.AwaitRows(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE 'INSERT INTO "
      "`vesk\\_spell` VALUES (''" +
          waited + "''%'",
      1);
  // The cycle: the server ends the run's transaction, and this one goes on.
  heavy.Rows("SELECT id FROM " + spells + " WHERE id = " + held + " FOR UPDATE");
  heavy.Exec("ROLLBACK");
  const RunResult r = run.Finish();
  admin.Exec("SET GLOBAL wsrep_max_ws_rows = DEFAULT");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Unwrapped(r.err).find("vesk-dbc2sql: the rows of vesk_spell met ERROR 1213 (40001): "
                                  "Deadlock found"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("sending them again (1 of 5)"), std::string::npos) << r.err;
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM " + spells), std::to_string(spell.Records()));
}

// A sibling connection whose staging table cannot be dropped (the server
// refuses the DROP; the connection stays) ends the run: it is not taken for
// a lost connection whose tables the others take. Both connections are held
// at their first table while the server is made read-only for the run's
// user, which refuses each DROP.
TEST_F(ServerTest, ASiblingRefusedItsStagingDropEndsTheRun) {
  const std::string db = prefix + "_refused";
  Client admin(*server_);
  admin.Exec("DROP USER IF EXISTS 'sib'@'127.0.0.1'");
  admin.Exec("CREATE USER 'sib'@'127.0.0.1' IDENTIFIED BY 'pw'");
  admin.Exec("GRANT ALL ON `" + db + "`.* TO 'sib'@'127.0.0.1'");
  std::vector<std::string> args = {"-h", "127.0.0.1", "-o",       server_->port,
                                   "-u", "sib",       "-p",       "pw",
                                   "-d", db,          "--atomic", "--parallel=2"};
  PausedRun run(client_dir.path(), args, {"table", "sibling-table"});
  run.WaitHeld(0);
  run.WaitHeld(1);
  admin.Exec("SET GLOBAL read_only = 1");
  run.Release(1);
  run.Release(0);
  const RunResult r = run.Finish();
  admin.Exec("SET GLOBAL read_only = 0");
  admin.Exec("DROP USER 'sib'@'127.0.0.1'");
  EXPECT_EQ(r.status, 1);
  const std::string err = Unwrapped(r.err);
  EXPECT_NE(err.find("a staging table cannot be dropped"), std::string::npos) << r.err;
  EXPECT_EQ(err.find("a connection was lost"), std::string::npos) << r.err;
}

// A run killed outright leaves its staging table in flight; the next run
// of the tool finds it by its mark and drops it.
TEST_F(ServerTest, AStagingTableOfAKilledRunGoesWithTheNext) {
  const std::string db = prefix + "_killed";
  std::vector<std::string> args = ServerArgs(*server_, db);
  args.insert(args.end(), {"--atomic", "--parallel=1"});
  PausedRun run(client_dir.path(), args, {"rows:vesk_spell"});
  run.WaitHeld();
  run.Signal(SIGKILL);
  EXPECT_EQ(run.Finish(/*release=*/false).status, 128 + SIGKILL);
  Client c(*server_);
  const std::string staging =
      "SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
      "TABLE_SCHEMA = '" +
      db + "' AND TABLE_NAME LIKE '%\\_\\_new\\_%'";
  ASSERT_EQ(c.Rows(staging).size(), 1u) << "the killed run left its staging table";
  const RunResult next = RunConverter(client_dir.path(), args);
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_TRUE(c.Rows(staging).empty());
}

// A server that goes away mid-run: the table being loaded stops at its
// failed statement, one attempt to connect again fails, and the run ends
// there with the reason instead of failing every later statement.
TEST_F(OwnServerTest, AServerThatStopsMidRunEndsTheRunWithItsReason) {
  OwnServer own;
  ASSERT_TRUE(own.started());
  std::vector<std::string> args = ServerArgs(own.server, "midrun");
  args.push_back("--parallel=1");
  PausedRun run(client_dir.path(), args, {"table:vesk_itemset"});
  run.WaitHeld();
  ASSERT_EQ(Shell("kill -9 $(cat " + Quoted(own.server.dir + "/pid") + ")"), 0);
  const RunResult r = run.Finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_LE(CountOf(r.out, "ERROR sql command:\n"), 3u);
  EXPECT_EQ(r.out.find("Open DBC file: dbc\\AreaTable.dbc"), std::string::npos);
  EXPECT_TRUE(r.out.ends_with("Disconnect\nComplete\n\n"));
  EXPECT_NE(r.err.find("vesk-dbc2sql: the connection to the server was lost (ERROR 20"),
            std::string::npos)
      << r.err;
  EXPECT_NE(Unwrapped(r.err).find(
                "  the run ended before the next table: the connection to the server was "
                "lost and cannot be made again: "),
            std::string::npos)
      << r.err;
}

// A server that stops answering (SIGSTOP) while rows are in flight, with
// and without --atomic: the first SIGTERM ends the run, with its summary,
// instead of a KILL QUERY that the stopped server never runs.
TEST_F(OwnServerTest, AStoppedServerCannotHoldARunPastTheFirstSignal) {
  OwnServer own;
  ASSERT_TRUE(own.started());
  const std::string pid = Quoted(own.server.dir + "/pid");
  for (const char* mode : {"--parallel=1", "--atomic"}) {
    std::vector<std::string> args = ServerArgs(own.server, "stopped") + mode;
    PausedRun run(client_dir.path(), args, {"rows:vesk_spell"});
    run.WaitHeld();
    ASSERT_EQ(Shell("kill -STOP $(cat " + pid + ")"), 0);
    run.Release();
    run.Signal(SIGTERM);
    const RunResult r = run.Finish();
    Shell("kill -CONT $(cat " + pid + ")");
    EXPECT_EQ(r.status, 128 + SIGTERM) << mode << r.err;
    EXPECT_NE(r.err.find("vesk-dbc2sql: interrupted by SIGTERM after "), std::string::npos)
        << mode << r.err;
    EXPECT_EQ(r.err.find("connecting again"), std::string::npos) << "asked to stop" << r.err;
  }
}

// A connection the server closed (KILL, wait_timeout) is made again before
// the next table, and the tables after it are exported in full.
TEST_F(ServerTest, ALostConnectionIsMadeAgainBeforeTheNextTable) {
  const std::string db = prefix + "_again";
  std::vector<std::string> args = ServerArgs(*server_, db);
  args.push_back("--parallel=1");
  PausedRun run(client_dir.path(), args, {"table:vesk_itemset"});
  Client admin(*server_);
  admin.Exec("KILL " + ConnectionIdOf(run.WaitHeld()));
  const RunResult r = run.Finish();
  EXPECT_NE(r.err.find("vesk-dbc2sql: the connection to the server was lost (ERROR "),
            std::string::npos)
      << r.err;
  EXPECT_LE(CountOf(r.out, "ERROR sql command:\n"), 3u);
  EXPECT_TRUE(r.out.ends_with("Disconnect\nComplete\n\n"));
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell`"), "1000");
  EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_rating`"), "100");
}

// SIGTERM stops the rows after the array or batch in flight: the summary
// names the table left partial with the rows it holds, and the run ends by
// that signal.
TEST_F(ServerTest, AnInterruptNamesTheTableLeftPartial) {
  MakeSampleClient(client_dir.path(), {"--rows", "Spell:20000"});
  const std::string db = prefix + "_term";
  std::vector<std::string> args = ServerArgs(*server_, db);
  args.push_back("--parallel=1");  // no table after it begun
  PausedRun run(client_dir.path(), args, {"rows:vesk_spell"});
  run.WaitHeld();
  run.Signal(SIGTERM);
  const RunResult r = run.Finish();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_FALSE(r.out.ends_with("Complete\n\n"));
  const std::string err = Unwrapped(r.err);
  const std::string line = "\n  vesk_spell (dbc/Spell.dbc): ";
  const std::size_t at = err.find(line);
  ASSERT_NE(at, std::string::npos) << r.err;
  const std::string rows =
      err.substr(at + line.size(), err.find(' ', at + line.size()) - at - line.size());
  EXPECT_NE(err.find(line + rows + " of 20000 rows, then interrupted by SIGTERM\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(err.find("\n  vesk_spell is left partial, with " + rows + " of 20000 rows\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(err.starts_with("vesk-dbc2sql: interrupted by SIGTERM after ")) << r.err;
  Client c(*server_);
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell`"), rows);
  EXPECT_EQ(c.Rows("SELECT 1 FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                   "' AND TABLE_NAME = 'vesk_spell_shapeshift'")
                .size(),
            0u);
  // With --atomic the table being loaded is kept as it was.
  args.push_back("--atomic");
  PausedRun atomic(client_dir.path(), args, {"rows:vesk_spell"});
  atomic.WaitHeld();
  atomic.Signal(SIGTERM);
  const RunResult a = atomic.Finish();
  EXPECT_EQ(a.status, 128 + SIGTERM);
  EXPECT_NE(a.err.find("\n  vesk_spell is kept as it was\n"), std::string::npos) << a.err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell`"), rows);
}

}  // namespace
