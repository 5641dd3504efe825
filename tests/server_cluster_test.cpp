// Runs side by side: --parallel connections, a Galera cluster and a binlog
// replica.
// Against the real MariaDB server the fixture starts (tests/CMakeLists.txt).
#include "support/server_fixture.h"

namespace {

// Every table of `database` has the same CHECKSUM on each of `servers` as on
// the first (read through clients that wait for replication to catch up).
void ExpectSameTables(std::vector<Client*> servers, const std::string& database) {
  for (const char* table : kTables) {
    SCOPED_TRACE(database + "." + table);
    const std::string sql = "CHECKSUM TABLE `" + database + "`." + table;
    const auto expected = servers[0]->Rows(sql);
    ASSERT_EQ(expected.size(), 1u);
    EXPECT_NE(expected[0][1], "NULL") << "the table exists";
    for (std::size_t i = 1; i < servers.size(); ++i) EXPECT_EQ(servers[i]->Rows(sql), expected);
    // So does the table's record.
    const std::string record =
        "SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + database +
        "' AND TABLE_NAME = '" + table + "'";
    const std::string comment = servers[0]->Value(record);
    EXPECT_TRUE(comment.starts_with("vesk-dbc2sql run ")) << comment;
    for (std::size_t i = 1; i < servers.size(); ++i) EXPECT_EQ(servers[i]->Value(record), comment);
  }
}

// A three-node Galera cluster of the test's own (scripts/lib/test-cluster),
// stopped in any case.
class Cluster {
 public:
  Cluster() : script_(QuotedSource("scripts/lib/test-cluster") + " ") {
    started_ =
        Shell(script_ + "start " + Quoted(dir_.path()) + " 2>" + Quoted(dir_ / "start.log")) == 0;
    for (int n = 1; n <= 3; ++n) nodes.push_back(ServerIn(dir_ / ("node" + std::to_string(n))));
  }
  ~Cluster() { Shell(script_ + "stop " + Quoted(dir_.path())); }
  bool started() const { return started_; }
  std::string log() const { return ReadFile(dir_ / "start.log"); }
  std::vector<Server> nodes;

 private:
  TempDir dir_;
  std::string script_;
  bool started_ = false;
};

// Two runs, the first held at its first table until the second waits for
// the cluster's lock: they take turns. Their results, in that order.
std::pair<RunResult, RunResult> TakeTurns(const std::string& dir,
                                          const std::vector<std::string>& first_args,
                                          const std::vector<std::string>& second_args) {
  PausedRun first(dir, first_args, {"table"});
  first.WaitHeld();
  PausedRun second(dir, second_args, {"cluster-wait"});
  second.WaitHeld();
  first.Release();
  const RunResult one = first.Finish();
  second.Release();
  return {one, second.Finish()};
}

// A real three-node Galera cluster: a MyISAM run is refused before anything
// is made, and InnoDB runs, plain and atomic, reach every node with every
// row. A cluster that cannot start fails the test with the reason.
TEST_F(OwnServerTest, AGaleraClusterGetsEveryRowOnEveryNode) {
  Cluster cluster;
  ASSERT_TRUE(cluster.started()) << cluster.log();
  const std::vector<Server>& nodes = cluster.nodes;

  const RunResult myisam = RunConverter(client_dir.path(), ServerArgs(nodes[0], "galera"));
  EXPECT_EQ(myisam.status, 1);
  EXPECT_NE(myisam.err.find("(wsrep_on)"), std::string::npos) << myisam.err;
  EXPECT_NE(myisam.err.find("use --engine=InnoDB"), std::string::npos) << myisam.err;
  Client node1(nodes[0]), node2(nodes[1]), node3(nodes[2]);
  EXPECT_TRUE(node1.Rows("SHOW DATABASES LIKE 'galera'").empty());
  for (Client* node : {&node2, &node3}) node->Exec("SET SESSION wsrep_sync_wait = 15");
  for (const char* atomic : {"--parallel=2", "--atomic"}) {
    SCOPED_TRACE(atomic);
    std::vector<std::string> args = ServerArgs(nodes[0], "galera");
    args.insert(args.end(), {"--engine=InnoDB", atomic});
    const RunResult r = RunConverter(client_dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectSameTables({&node1, &node2, &node3}, "galera");
  }
  EXPECT_EQ(node3.Value("SELECT COUNT(*) FROM galera.vesk_spell"), "1000");
  // --verify on another node right after a load reads what the cluster
  // committed.
  const RunResult verify =
      RunConverter(client_dir.path(), ServerArgs(nodes[2], "galera") + "--verify");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  // A cluster that takes fewer rows in one writeset than a transaction of
  // the tool holds gets transactions that fit.
  node1.Exec("SET GLOBAL wsrep_max_ws_rows = 300");
  const RunResult small = RunConverter(
      client_dir.path(), ServerArgs(nodes[0], "galera") + "--engine=InnoDB" + "--atomic");
  node1.Exec("SET GLOBAL wsrep_max_ws_rows = DEFAULT");
  EXPECT_EQ(small.status, 0) << small.err;
  ExpectSameTables({&node1, &node2, &node3}, "galera");
  // Two runs into two nodes take turns: the second waits while the first,
  // held at its first table, has the cluster's lock.
  const auto [one, two] = TakeTurns(
      client_dir.path(), ServerArgs(nodes[0], "galera") + "--engine=InnoDB" + "--parallel=1",
      ServerArgs(nodes[1], "galera") + "--engine=InnoDB" + "--lock-wait=300");
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(two.status, 0) << two.err;
  EXPECT_NE(Unwrapped(two.err).find("another run is loading database galera through node "),
            std::string::npos)
      << two.err;
  ExpectSameTables({&node1, &node2, &node3}, "galera");
  EXPECT_EQ(node3.Value("SELECT COUNT(*) FROM galera.vesk_dbc2sql"), "0") << "let go at the end";
  // So does --verify through another node: it reads no table a load writes.
  const auto [loaded, checked] = TakeTurns(
      client_dir.path(), ServerArgs(nodes[0], "galera") + "--engine=InnoDB" + "--parallel=1",
      ServerArgs(nodes[2], "galera") + "--verify" + "--lock-wait=300");
  EXPECT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

// A primary with a binlog replica keeps both engines' tables alike.
TEST_F(OwnServerTest, ABinlogReplicaGetsTheSameTables) {
  OwnServer primary({"--log-bin=binlog", "--server-id=1"});
  OwnServer replica({"--server-id=2"});
  ASSERT_TRUE(primary.started() && replica.started());
  Client source(primary.server), copy(replica.server);
  const auto status = source.Rows("SHOW MASTER STATUS");
  ASSERT_EQ(status.size(), 1u);
  copy.Exec("CHANGE MASTER TO MASTER_HOST = '127.0.0.1', MASTER_PORT = " + primary.server.port +
            ", MASTER_USER = '" + primary.server.user + "', MASTER_PASSWORD = '" +
            primary.server.password + "', MASTER_LOG_FILE = '" + status[0][0] +
            "', MASTER_LOG_POS = " + status[0][1]);
  copy.Exec("START SLAVE");
  for (const char* engine : {"MyISAM", "InnoDB"}) {
    std::vector<std::string> args = ServerArgs(primary.server, engine);
    args.push_back(std::string("--engine=") + engine);
    EXPECT_EQ(RunConverter(client_dir.path(), args).status, 0);
  }
  const std::string position = source.Value("SELECT @@gtid_binlog_pos");
  EXPECT_EQ(copy.Value("SELECT MASTER_GTID_WAIT('" + position + "', 60)"), "0")
      << copy.Rows("SHOW SLAVE STATUS")[0][19];
  ExpectSameTables({&source, &copy}, "MyISAM");
  ExpectSameTables({&source, &copy}, "InnoDB");
}

// --parallel: a connection the server refuses (the user's connection limit)
// or one lost that cannot be made again leaves its tables to the other; the
// console is the single connection's, byte for byte, and only the table the
// lost connection cut fails.
TEST_F(ServerTest, AConnectionThatCannotBeHadLeavesItsTablesToTheOther) {
  const std::string db = prefix + "_par";
  Client admin(*server_);
  for (const char* user : {"one", "par"}) {
    admin.Exec(std::string("DROP USER IF EXISTS '") + user + "'@'127.0.0.1'");
    admin.Exec(std::string("CREATE USER '") + user + "'@'127.0.0.1' IDENTIFIED BY 'pw'" +
               (user[0] == 'o' ? " WITH MAX_USER_CONNECTIONS 1" : ""));
    admin.Exec("GRANT ALL ON `" + db + "`.* TO '" + user + "'@'127.0.0.1'");
  }
  const auto as = [&](const char* user, const char* parallel) {
    return std::vector<std::string>{"-h", "127.0.0.1", "-o", server_->port, "-u", user, "-p",
                                    "pw", "-d",        db,   parallel};
  };
  ASSERT_EQ(RunConverter(client_dir.path(), as("one", "--parallel=1")).status, 0);
  const RunResult single = RunConverter(client_dir.path(), as("one", "--parallel=1"));
  const RunResult limited = RunConverter(client_dir.path(), as("one", "--parallel=3"));
  EXPECT_EQ(limited.status, 0);
  EXPECT_EQ(limited.out, single.out);
  EXPECT_NE(Unwrapped(limited.err)
                .find("connection 2 of --parallel=3 cannot be made (User 'one' "
                      "has exceeded the 'max_user_connections' resource"),
            std::string::npos)
      << limited.err;

  // Both connections wait on their first table, locked by the test (at the
  // check of its record); the one without the database's lock is cut, and
  // may not connect again.
  std::string locks;
  for (const char* table : kTables)
    locks += (locks.empty() ? "" : ", ") + db + "." + table + " WRITE";
  admin.Exec("LOCK TABLES " + locks);
  Converter run(client_dir.path(), as("par", "--parallel=2"));
  const auto waiting = admin.AwaitRows(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE USER = 'par' AND "
      "INFO LIKE 'CHECKSUM TABLE%'",
      2);
  ASSERT_EQ(waiting.size(), 2u);
  const std::string holder = admin.Value("SELECT IS_USED_LOCK('vesk-dbc2sql:" + db + "')");
  Client other(*server_);
  other.Exec("ALTER USER 'par'@'127.0.0.1' ACCOUNT LOCK");
  other.Exec("KILL " + (waiting[0][0] == holder ? waiting[1][0] : waiting[0][0]));
  admin.Exec("UNLOCK TABLES");
  const RunResult lost = run.Wait();
  EXPECT_EQ(lost.status, 1);
  EXPECT_TRUE(lost.out.ends_with("Disconnect\nComplete\n\n"));
  const std::string err = Unwrapped(lost.err);
  EXPECT_NE(err.find("a connection was lost and cannot be made again"), std::string::npos) << err;
  EXPECT_NE(err.find("vesk-dbc2sql: " + std::to_string(CatalogueSize() - 1) + " of " + Tables() +
                     " tables exported in full"),
            std::string::npos)
      << err;

  for (const char* user : {"one", "par"})
    admin.Exec(std::string("DROP USER '") + user + "'@'127.0.0.1'");
}

// The first connection holds the database's lock: lost, and not to be made
// again, it ends the run rather than leave its tables to the others as a
// lost sibling does.
TEST_F(ServerTest, ALostHolderOfTheLockEndsTheRun) {
  const std::string db = prefix + "_holder";
  Client admin(*server_), other(*server_);
  admin.Exec("DROP USER IF EXISTS 'holder'@'127.0.0.1'");
  admin.Exec("CREATE USER 'holder'@'127.0.0.1' IDENTIFIED BY 'pw'");
  admin.Exec("GRANT ALL ON `" + db + "`.* TO 'holder'@'127.0.0.1'");
  const std::vector<std::string> args = {
      "-h", "127.0.0.1", "-o", server_->port, "-u", "holder", "-p", "pw", "-d", db, "--parallel=2"};
  // Loaded once, the tables have records, whose checks wait below.
  ASSERT_EQ(RunConverter(client_dir.path(), args).status, 0);
  std::string locks;
  for (const char* table : kTables)
    locks += (locks.empty() ? "" : ", ") + db + "." + table + " WRITE";
  admin.Exec("LOCK TABLES " + locks);
  Converter cut(client_dir.path(), args);
  const auto held = admin.AwaitRows(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE USER = 'holder' AND "
      "INFO LIKE 'CHECKSUM TABLE%'",
      2);
  ASSERT_EQ(held.size(), 2u);
  // (The first connection, which takes the lock, is made first.)
  const std::string first =
      std::to_string(std::min(std::stoul(held[0][0]), std::stoul(held[1][0])));
  other.Exec("ALTER USER 'holder'@'127.0.0.1' ACCOUNT LOCK");
  other.Exec("KILL " + first);
  admin.Exec("UNLOCK TABLES");
  const RunResult ended = cut.Wait();
  EXPECT_EQ(ended.status, 1);
  const std::string err = Unwrapped(ended.err);
  EXPECT_EQ(err.find("the other connections take its tables"), std::string::npos) << err;
  EXPECT_NE(err.find("the run ended"), std::string::npos) << err;
  admin.Exec("DROP USER 'holder'@'127.0.0.1'");
}

// Tables larger than the room beside the largest one: the connection that
// finds no table to fit waits, and is woken when room is made. The other
// connections are held before they tell the schedule, until the waiting one
// stands at its wait (holding the schedule's lock); then it goes into its
// wait and the held ones are let go. Woken when the largest is loaded (a
// mapped file keeps only its strings in memory), or, where every file is
// copied into memory (each under 2 MiB), when a table ends. Without the
// budget nobody would wait; without the wake-up the run would never end.
TEST_F(ServerTest, AConnectionWaitingForRoomIsWokenWhenRoomIsMade) {
  const struct {
    const char* records;  // of the sample client
    const char* parallel;
    std::vector<std::string> held;  // the connections held, as they load
  } cases[] = {
      // Spell about 5 MB, Achievement and ChrRaces about 3 MB each: neither
      // fits beside Spell within its size and 2 MiB.
      {"1500", "--parallel=2", {"loaded:vesk_spell"}},
      // Spell 2.0 MB, ChrRaces 1.4 MB, ChrClasses 1.2 MB: the third does
      // not fit beside the first two.
      {"600", "--parallel=3", {"loaded:vesk_spell", "loaded:vesk_chr_races"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parallel);
    MakeSampleClient(client_dir.path(), {"--records", c.records});
    const std::string db = prefix + "_room" + c.records;
    std::vector<std::string> args = ServerArgs(*server_, db);
    args.insert(args.end(),
                {c.parallel, "--tables=Spell,Achievement,ChrRaces,ChrClasses,Languages"});
    std::vector<std::string> points = c.held;
    points.push_back("schedule-wait");
    PausedRun run(client_dir.path(), args, points);
    for (std::size_t i = 0; i < points.size(); ++i) run.WaitHeld(i);
    for (std::size_t i = points.size(); i-- > 0;) run.Release(i);
    const RunResult r = run.Finish();
    EXPECT_EQ(r.status, 0) << r.err;
    Client client(*server_);
    for (const char* table : {"vesk_spell", "vesk_achievement", "vesk_chr_races"})
      EXPECT_EQ(client.Value("SELECT COUNT(*) FROM `" + db + "`.`" + table + "`"), c.records)
          << table;
  }
}

// Whichever connection's first table fails (its file missing or damaged,
// or the server refusing it), the others load theirs: at every --parallel
// the run ends with its summary, and a failed table has no records in the
// report (not the count of the table loaded before it).
TEST_F(ServerTest, AFailingFirstTableOnAnyConnectionLeavesTheOthersLoaded) {
  const std::vector<std::pair<std::string, std::string>> broken = {{"Faction", "vesk_faction"},
                                                                   {"Lock", "vesk_lock"},
                                                                   {"LockType", "vesk_lock_type"},
                                                                   {"SpellIcon", "vesk_spellicon"}};
  std::map<std::string, std::string> kept;
  for (const auto& [file, table] : broken)
    kept[file] = ReadFile(client_dir / ("dbc/" + file + ".dbc"));
  struct Damage {
    std::string name;
    const char* kind;  // of the table's cause in the report
  };
  const std::vector<Damage> damages = {{"missing", "missing"},
                                       {"bad magic", "bad_header"},
                                       {"empty", "bad_header"},
                                       {"text", "bad_header"},
                                       {"refused", "refused"}};
  const std::string languages =
      std::to_string(RawTable(client_dir / "dbc/Languages.dbc").Records());
  Client admin(*server_);
  for (int parallel = 2; parallel <= 4; ++parallel)
    for (const Damage& damage : damages) {
      SCOPED_TRACE(damage.name + " at --parallel=" + std::to_string(parallel));
      const std::string db = prefix + "_" + std::to_string(parallel);
      admin.Exec("DROP DATABASE IF EXISTS `" + db + "`");
      admin.Exec("CREATE DATABASE `" + db + "`");
      std::string tables = "languages";
      for (int i = 0; i < parallel; ++i) {
        const auto& [file, table] = broken[i];
        tables += "," + file;
        const std::string path = client_dir / ("dbc/" + file + ".dbc");
        WriteFile(path, kept[file]);
        if (damage.name == "missing")
          std::filesystem::remove(path);
        else if (damage.name == "refused")
          admin.Exec("CREATE VIEW `" + db + "`.`" + table + "` AS SELECT 1 AS id");
        else
          WriteFile(path, damage.name == "bad magic" ? "XDBC" + kept[file].substr(4)
                          : damage.name == "empty"   ? ""
                                                     : "not a client file at all\n");
      }
      const RunResult r = Export(
          db, {"--parallel=" + std::to_string(parallel), "--tables=" + tables, "--report=r.json"});
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_TRUE(r.out.ends_with("Disconnect\nComplete\n\n")) << r.out;
      EXPECT_EQ(admin.Value("SELECT COUNT(*) FROM `" + db + "`.vesk_languages"), languages);
      const nlohmann::json report = nlohmann::json::parse(ReadFile(client_dir / "r.json"));
      EXPECT_EQ(report["totals"]["exported"], 1) << report["totals"];
      for (const auto& table : report["tables"]) {
        if (table["table"] == "vesk_languages") continue;
        EXPECT_EQ(table["status"], damage.name == "missing" ? "missing" : "failed") << table;
        // (A refused table was read: its records are the file's.)
        if (damage.name != "refused") {
          EXPECT_EQ(table["records"], 0) << table;
        }
        EXPECT_EQ(table["rows"], 0) << table;
        EXPECT_EQ(table["cause"]["kind"], damage.kind) << table;
      }
    }
}

}  // namespace
