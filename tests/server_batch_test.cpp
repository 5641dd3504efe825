// The rows of a table sent many at once (arrays of a prepared insert,
// batches, transactions) store what one statement per row stores.
// Against the real MariaDB server the fixture starts (tests/CMakeLists.txt).
#include "support/server_fixture.h"

namespace {

// The console of the Spell table when its rows stop at row `failing` of
// `total`: the bar shows exactly the rows before it, then the error.
std::string SpellConsole(int failing, int total, const std::string& statement) {
  std::string bar = BarOf(total, failing);
  bar.pop_back();  // the error comes before the bar's line break
  return "Open DBC file: dbc\\Spell.dbc\n" + bar + "ERROR sql command:\n" + statement + "\n" +
         "\nOpen DBC file: dbc\\AreaTable.dbc\n";
}

// The statement of row `row` of a table, as the file-mode script has it.
std::string InsertOfRow(const std::string& script, const std::string& table, int row) {
  const std::string prefix = "INSERT INTO `" + table + "` VALUES (";
  std::size_t at = script.find(prefix);
  for (int i = 0; i < row && at != std::string::npos; ++i) at = script.find(prefix, at + 1);
  if (at == std::string::npos) return "";
  return script.substr(at, script.find(";\n", at) + 2 - at);
}

// The sinks' sizes: rows of an array of the prepared insert, of a group of
// its rows, and statements of a multi-statement batch.
constexpr int kArray = BulkInsert::kArrayRows;
constexpr int kRowsPerInsert = BulkInsert::kRowsPerInsert;
constexpr int kBatch = ServerRows::kBatchRows;
constexpr int kTransaction = static_cast<int>(kTransactionRows);

class BatchTest : public ServerTest {
 protected:
  const Server& Target() const { return own_ ? own_->server : *server_; }

  // Exports a client made with `sample` whose Spell table (of `records`
  // rows) fails at row `row`; checks the console and the rows against the
  // one-query-per-row rules.
  // Returns the rows kept.
  int ExpectStopAt(const std::vector<std::string>& sample, int row, int records,
                   const std::string& reason) {
    // InnoDB keeps the rows of the transactions before the failing row's.
    const bool transactions = !engine_.empty();
    SCOPED_TRACE("row " + std::to_string(row) + " of " + std::to_string(records));
    std::vector<std::string> args = sample;
    args.insert(args.end(), {"--records", std::to_string(records)});
    MakeSampleClient(client_dir.path(), args);
    // The Spell table, and one after it: the other tables take the same paths.
    EXPECT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql", "--tables=spell,AreaTable"}).status,
              0);
    const std::string statement = InsertOfRow(ReadFile(client_dir / "out.sql"), "vesk_spell", row);
    if (statement.empty()) {
      ADD_FAILURE() << "no insert of row " << row;
      return -1;
    }
    const std::string db = prefix + "_row" + std::to_string(row);
    std::vector<std::string> server_args = ServerArgs(Target(), db);
    server_args.push_back("--tables=spell,AreaTable");
    // One connection: AreaTable follows on the same session, so that rows a
    // refused transaction left open would be committed by its DROP.
    if (transactions)
      server_args.insert(server_args.end(), {"--engine=" + engine_, "--parallel=1"});
    const RunResult r = RunConverter(client_dir.path(), server_args);
    Client c(Target());
    const int kept = std::stoi(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_spell`"));
    if (transactions)
      EXPECT_LE(kept, row);
    else
      EXPECT_EQ(kept, row);
    EXPECT_GT(kept + 2000, row) << "at most one transaction rolled back";
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(SpellConsole(kept, records, statement)), std::string::npos)
        << r.out.substr(0, 4000);
    EXPECT_EQ(CountOf(r.out, "ERROR sql command"), 1u);
    const std::string err = Unwrapped(r.err);
    EXPECT_TRUE(err.starts_with(reason)) << r.err;
    const std::string line = err.substr(0, err.find('\n') + 1);
    const std::string done =
        kept ? std::to_string(kept) + " of " + std::to_string(records) + " rows, then " : "";
    // (A word longer than a summary line, a long column name, is cut.)
    const auto squeezed = [](std::string text) {
      std::erase_if(text, [](char ch) { return ch == ' ' || ch == '\n'; });
      return text;
    };
    EXPECT_TRUE(
        squeezed(r.err).ends_with(squeezed(" s\n  vesk_spell (dbc/Spell.dbc): " + done + line)))
        << r.err;
    EXPECT_EQ(CountOf(Unwrapped(r.err), "\n  "), 2u) << "the rows, then the one table";
    EXPECT_EQ(c.Value("SELECT MAX(`id`) FROM `" + db + "`.`vesk_spell`"),
              kept == 0 ? "NULL" : std::to_string(3 * (kept - 1) + 1))
        << "nothing after the failing row was applied";
    EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`vesk_zones`"), std::to_string(records));
    return kept;
  }
  int ExpectDuplicateAt(int row, int records) {
    return ExpectStopAt({"--duplicate-key", "Spell:" + std::to_string(row)}, row, records,
                        "ERROR 1062 (23000): Duplicate entry ");
  }
  int ExpectBadValueAt(int row, int records) {
    return ExpectStopAt({"--emoji", "Spell:" + std::to_string(row)}, row, records,
                        "ERROR 1366 (22007): Incorrect string value: ");
  }

  std::unique_ptr<OwnServer> own_;
  std::string engine_;  // --engine, when given
};

// A BatchTest on servers of its own only (see OwnServerTest).
class OwnServerBatchTest : public BatchTest {};

// Rows of a table created by the run go as arrays of 1,000 rows of one
// prepared insert of 20 rows: rows 1000, 1500 and 1999 are the first, a
// middle and the last row of an array (and of a group of 20); row 1510 lies
// inside a group.
TEST_F(BatchTest, ArraysStopAtADuplicateKeyFirstInAnArray) { ExpectDuplicateAt(kArray, 2500); }
TEST_F(BatchTest, ArraysStopAtADuplicateKeyInTheMiddleOfAnArray) {
  ExpectDuplicateAt(kArray + kArray / 2, 2500);
  ExpectDuplicateAt(kArray + kArray / 2 + kRowsPerInsert / 2, 2500);
}
TEST_F(BatchTest, ArraysStopAtADuplicateKeyLastInAnArray) {
  ExpectDuplicateAt(2 * kArray - 1, 2500);
}
TEST_F(BatchTest, ArraysStopAtADuplicateKeyInTheSecondRow) { ExpectDuplicateAt(1, 1000); }
TEST_F(BatchTest, ArraysStopAtABadValue) { ExpectBadValueAt(1250, 2500); }
// A value refused in the first row of a table once made the arrays start
// over for ever; the first row of a later array and the last row, too.
TEST_F(BatchTest, ArraysStopAtABadValueInTheFirstOrLastRow) {
  ExpectBadValueAt(0, 2500);
  ExpectBadValueAt(kArray, 2500);
  ExpectBadValueAt(2499, 2500);
}

// A server that enforces InnoDB refuses a MyISAM run before anything is
// made. With --engine=InnoDB each array of 1000 rows is a transaction: a
// refused row rolls back its own array, and the statement shown is the
// refused row's; the server's packet limit cuts the arrays to about 14 Spell
// rows.
TEST_F(BatchTest, InnoDBRowsGoInTransactions) {
  own_ = std::make_unique<OwnServer>();
  ASSERT_TRUE(own_->started());
  Client admin(own_->server);
  admin.Exec("SET GLOBAL enforce_storage_engine = 'InnoDB'");
  const RunResult refused = RunConverter(client_dir.path(), ServerArgs(own_->server, "myisam"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("enforces the InnoDB engine"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("use --engine=InnoDB"), std::string::npos) << refused.err;
  EXPECT_TRUE(admin.Rows("SHOW DATABASES LIKE 'myisam'").empty()) << "nothing created";
  engine_ = "innodb";
  for (int row : {kBatch, 999, 1}) ExpectDuplicateAt(row, 1000);
  // The first row after a whole transaction of kTransactionRows: that
  // transaction stays, the refused one is rolled back.
  EXPECT_EQ(ExpectDuplicateAt(kTransaction, kTransaction + 500), kTransaction);
  ExpectBadValueAt(0, 1000);
  EXPECT_EQ(ExpectBadValueAt(2100, 2500), 2 * kArray) << "the arrays before its own are kept";
  admin.Exec("SET GLOBAL max_allowed_packet = 65536");
  ExpectDuplicateAt(333, 1000);
  Client c(own_->server);
  EXPECT_EQ(c.Value("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + prefix +
                    "_row333' AND TABLE_NAME = 'vesk_spell'"),
            "InnoDB");
  // Interrupted, the batch sent ahead is read first: the rows the summary
  // names are the rows the table holds.
  MakeSampleClient(client_dir.path(), {"--rows", "Spell:5000"});
  std::vector<std::string> term_args = ServerArgs(own_->server, "term");
  term_args.push_back("--engine=InnoDB");
  PausedRun run(client_dir.path(), term_args, {"rows:vesk_spell"});
  run.WaitHeld();
  run.Signal(SIGTERM);
  const std::string err = Unwrapped(run.Finish().err);
  const std::string line = "\n  vesk_spell is left partial, with ";
  const std::size_t at = err.find(line);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_EQ(c.Value("SELECT COUNT(*) FROM term.vesk_spell"),
            err.substr(at + line.size(), err.find(' ', at + line.size()) - at - line.size()));
}

// Arrays cut by the packet limit, and batches, store what the statements
// of the script store.
TEST_F(OwnServerBatchTest, ArraysAndBatchesStoreWhatTheScriptStores) {
  // A Spell file large enough to be mapped: two connections let its pages
  // go as its rows are sent, and read them again where needed.
  MakeSampleClient(client_dir.path(), {"--records", "2500"});
  own_ = std::make_unique<OwnServer>();
  ASSERT_TRUE(own_->started());
  Client admin(own_->server);
  admin.Exec("SET GLOBAL max_allowed_packet = 65536");
  const auto run = [&](const std::string& db, const char* engine) {
    std::vector<std::string> args = ServerArgs(own_->server, db);
    args.push_back(engine);
    return RunConverter(client_dir.path(), args);
  };
  EXPECT_EQ(run("small_arrays", "--engine=MyISAM").status, 0);
  EXPECT_EQ(run("small_batches", "--engine=InnoDB").status, 0);
  admin.Exec("SET GLOBAL max_allowed_packet = 67108864");
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql"}).status, 0);
  admin.Exec("CREATE DATABASE script");
  ASSERT_EQ(LoadAsTheReadmeSays(own_->server, "script", client_dir / "out.sql"), 0);
  Client c(own_->server);
  for (const char* table : kTables) {
    SCOPED_TRACE(table);
    const auto expected = c.Rows(std::string("CHECKSUM TABLE script.") + table)[0][1];
    EXPECT_EQ(c.Rows(std::string("CHECKSUM TABLE small_arrays.") + table)[0][1], expected);
    EXPECT_EQ(c.Rows(std::string("CHECKSUM TABLE small_batches.") + table)[0][1], expected);
  }
}

}  // namespace
