// Server mode against a real MariaDB server, started for these tests by the
// project's test-server script (see tests/CMakeLists.txt).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "dbc/dbc_format.h"
#include "dbc/loaded_table.h"
#include "server/bulk_insert.h"
#include "server/server_rows.h"
#include "sql/engine.h"
#include "sql/statement_builder.h"
#include "support/memory_client.h"
#include "support/test_support.h"

extern char** environ;

namespace {

struct Server {
  std::string dir, port, socket, user, password;
};

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

Server ServerIn(const std::string& dir) {
  Server s;
  s.dir = dir;
  s.port = Trim(ReadFile(dir + "/port"));
  s.socket = Trim(ReadFile(dir + "/socket"));
  s.user = Trim(ReadFile(dir + "/user"));
  s.password = Trim(ReadFile(dir + "/password"));
  return s;
}

// The converter's options for exporting into `database` on `server`.
std::vector<std::string> ServerArgs(const Server& server, const std::string& database) {
  return {"-h", "127.0.0.1",     "-o", server.port, "-u", server.user,
          "-p", server.password, "-d", database};
}

// `args` with `more` appended.
std::vector<std::string> operator+(std::vector<std::string> args, const std::string& more) {
  args.push_back(more);
  return args;
}

// A server of a test's own, for server-wide settings; stopped in any case.
class OwnServer {
 public:
  // `options`: extra options of the server.
  explicit OwnServer(const std::vector<std::string>& options = {}) {
    std::string command = QuotedSource("scripts/lib/test-server") + " start " + Quoted(dir_.path());
    for (const std::string& option : options) command += " " + Quoted(option);
    started_ = Shell(command + " >/dev/null") == 0;
    EXPECT_TRUE(started_) << "cannot start a server of the test's own";
    server = ServerIn(dir_.path());
  }
  ~OwnServer() { Shell(QuotedSource("scripts/lib/test-server") + " stop " + Quoted(dir_.path())); }
  bool started() const { return started_; }
  Server server;

 private:
  TempDir dir_;
  bool started_ = false;
};

// A client connection used by the tests to look at what the converter did.
class Client {
 public:
  explicit Client(const Server& server) {
    mysql_init(&mysql_);
    connected_ = mysql_real_connect(&mysql_, nullptr, server.user.c_str(), server.password.c_str(),
                                    nullptr, 0, server.socket.c_str(), 0) != nullptr;
    EXPECT_TRUE(connected_) << mysql_error(&mysql_);
    Exec("SET NAMES utf8");
    Exec("SET SESSION autocommit = 1");  // never hold a table open in a transaction
  }
  ~Client() { mysql_close(&mysql_); }

  void Exec(const std::string& sql) {
    ASSERT_EQ(mysql_query(&mysql_, sql.c_str()), 0) << sql << ": " << mysql_error(&mysql_);
  }

  // Rows of a query; every value as its exact bytes ("NULL" for NULL).
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    if (mysql_query(&mysql_, sql.c_str()) != 0) {
      ADD_FAILURE() << sql << ": " << mysql_error(&mysql_);
      return rows;
    }
    MYSQL_RES* result = mysql_store_result(&mysql_);
    if (!result) return rows;
    const unsigned columns = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      const unsigned long* lengths = mysql_fetch_lengths(result);
      std::vector<std::string> values;
      for (unsigned c = 0; c < columns; ++c)
        values.push_back(row[c] ? std::string(row[c], lengths[c]) : "NULL");
      rows.push_back(values);
    }
    mysql_free_result(result);
    return rows;
  }

  std::string Value(const std::string& sql) {
    auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
  }

  // The rows of `sql` once there are at least `count` of them: a test
  // waits for the run to stand where the test holds it (a statement of the
  // run waiting on the test's lock, in the process list). Fails after
  // kRunTimeLimit with what it saw last.
  std::vector<std::vector<std::string>> AwaitRows(const std::string& sql, std::size_t count) {
    std::vector<std::vector<std::string>> rows;
    const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
    while ((rows = Rows(sql)).size() < count) {
      if (std::chrono::steady_clock::now() > deadline) {
        std::string seen;
        for (const auto& row : Rows("SELECT ID, USER, STATE, INFO FROM "
                                    "information_schema.PROCESSLIST"))
          for (const std::string& value : row)
            seen += value + (&value == &row.back() ? "\n" : " | ");
        ADD_FAILURE() << "waited in vain for " << count << " rows of: " << sql
                      << "\nthe process list:\n"
                      << seen;
        break;
      }
      ::poll(nullptr, 0, 10);
    }
    return rows;
  }

 private:
  MYSQL mysql_;
  bool connected_ = false;
};

const char* const kTables[] = {"vesk_achievement",
                               "vesk_achievement_category",
                               "vesk_achievement_criteria",
                               "vesk_chr_classes",
                               "vesk_chr_races",
                               "vesk_creature_type",
                               "vesk_creature_family",
                               "vesk_faction",
                               "vesk_faction_template",
                               "vesk_gemproperties",
                               "vesk_glyphproperties",
                               "vesk_item_enchantment",
                               "vesk_item_ex_cost",
                               "vesk_item_random_propety",
                               "vesk_item_random_suffix",
                               "vesk_itemicon",
                               "vesk_itemset",
                               "vesk_languages",
                               "vesk_lock",
                               "vesk_lock_type",
                               "vesk_quest_info",
                               "vesk_quest_sort",
                               "vesk_random_property_points",
                               "vesk_scaling_stat_distribution",
                               "vesk_scaling_stat_values",
                               "vesk_skill_line",
                               "vesk_skill_line_ability",
                               "vesk_skill_line_category",
                               "vesk_skill_race_class_info",
                               "vesk_spell",
                               "vesk_spell_shapeshift",
                               "vesk_spell_cast_time",
                               "vesk_spell_dispel_type",
                               "vesk_spell_duration",
                               "vesk_spell_radius",
                               "vesk_spellfocus",
                               "vesk_spellicon",
                               "vesk_talents",
                               "vesk_talent_tab",
                               "vesk_totem_category",
                               "vesk_zones",
                               "vesk_rating"};

// A client file read by the test itself: header, records, string block.
struct RawTable {
  explicit RawTable(const std::string& path) : bytes(ReadFile(path)) {
    EXPECT_EQ(ParseDbcHeader(Data(), bytes.size(), &header), HeaderParse::kOk) << path;
  }
  const std::uint8_t* Data() const { return reinterpret_cast<const std::uint8_t*>(bytes.data()); }
  std::uint32_t Records() const { return header.record_count; }
  std::uint32_t Field(std::uint32_t record, std::uint32_t field) const {
    return LoadLE32(Data() + kDbcHeaderSize + std::size_t{record} * header.record_size + 4 * field);
  }
  std::string String(std::uint32_t offset) const {
    return std::string(bytes.c_str() + kDbcHeaderSize +
                       std::size_t{Records()} * header.record_size + offset);
  }
  std::string bytes;
  DbcHeader header;
};

class ServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (const char* dir = std::getenv("VESK_TEST_SERVER_DIR")) server_ = new Server(ServerIn(dir));
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    // A missing server fails every test (a failure in the suite's set-up
    // would count them as skipped).
    ASSERT_NE(server_, nullptr)
        << "run through ctest: the server fixture sets VESK_TEST_SERVER_DIR";
    ASSERT_FALSE(server_->port.empty()) << "the test server did not start";
    MakeSampleClient(client_dir.path(), sample_args);
    // Each test gets fresh databases with its own names.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    prefix = std::string("t_") + info->name();
    Client c(*server_);
    for (const auto& row : c.Rows("SHOW DATABASES LIKE '" + prefix + "%'")) {
      std::string quoted;
      for (char ch : row[0]) quoted += ch == '`' ? std::string("``") : std::string(1, ch);
      c.Exec("DROP DATABASE `" + quoted + "`");
    }
  }

  RunResult Export(const std::string& database, std::vector<std::string> extra = {},
                   const std::string& password = "") {
    std::vector<std::string> args = ServerArgs(*server_, database);
    if (!password.empty()) args[7] = password;
    args.insert(args.end(), extra.begin(), extra.end());
    return RunConverter(client_dir.path(), args);
  }

  std::map<std::string, std::string> RowCounts(Client& c, const std::string& database) {
    std::map<std::string, std::string> counts;
    for (const char* table : kTables)
      counts[table] = c.Value("SELECT COUNT(*) FROM `" + database + "`.`" + table + "`");
    return counts;
  }

  static Server* server_;
  std::vector<std::string> sample_args;
  TempDir client_dir;
  std::string prefix;
};

Server* ServerTest::server_ = nullptr;

// Tests that start servers of their own (and touch the shared one only to
// clear their databases): ctest runs them beside the others.
class OwnServerTest : public ServerTest {};

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

class DuplicateKeyTest : public ServerTest {
 protected:
  DuplicateKeyTest() { sample_args = {"--duplicate-key", "SpellCastTimes"}; }
};

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

  // A backup copied from a loaded table keeps the tool's mark, but its name
  // does not carry the mark's id: it stays. A retired table whose name and
  // mark carry the same id is the tool's leftover: it goes.
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

  // A run that cannot have the lock waits, says so, and changes nothing.
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
// before its next table, saying why.
TEST_F(ServerTest, ALostLockHolderKeepsTheNextRunWaiting) {
  const std::string db = "t_holder";  // short: lock names hold 64 characters
  Client admin(*server_);
  admin.Exec("DROP DATABASE IF EXISTS " + db);
  ASSERT_EQ(Export(prefix + "_clean").status, 0);
  std::vector<std::string> args = ServerArgs(*server_, db);
  PausedRun first(client_dir.path(), args + "--parallel=2", {"table", "sibling-table"});
  const std::string holder = first.WaitHeld(0);
  first.WaitHeld(1);
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
  // So does the first SIGTERM of --verify and --write-dbc, whose reads wait
  // for a writer's lock.
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

// The client files of this test: two Languages records, the first one a
// text that would end its literal if backslashes were not escapes.
const std::string kInjection = "'); UNLOCK TABLES; DROP DATABASE victim; -- ";

void WriteLanguages(const std::string& dir, const std::vector<std::string>& names) {
  DbcWriter b(18);
  std::uint32_t id = 1;
  for (const std::string& name : names) {
    std::vector<std::uint32_t> r(18, 0);
    r[0] = id++;
    r[1] = b.AddString(name);
    b.Record(r);
  }
  WriteClientFile(dir, "Languages", b.Bytes());
}

// The README's command for loading a script, run as it stands but for the
// connection options, the database and the file.
int LoadAsTheReadmeSays(const Server& server, const std::string& database,
                        const std::string& file) {
  const std::string readme = ReadFile(std::string(VESK_SOURCE_DIR) + "/README.md");
  const std::string tail = " world < world_dbc.sql";
  std::size_t at = readme.find("mariadb --init-command=");
  while (at != std::string::npos &&
         readme.substr(0, readme.find('\n', at)).ends_with(tail) == false)
    at = readme.find("mariadb --init-command=", at + 1);
  EXPECT_NE(at, std::string::npos) << "the README says how to load a script";
  std::string line = readme.substr(at, readme.find('\n', at) - at);
  EXPECT_TRUE(line.ends_with(tail)) << line;
  line = line.substr(0, line.size() - tail.size());
  return Shell("mariadb --no-defaults --socket=" + Quoted(server.socket) + " -u" +
               Quoted(server.user) + " -p" + Quoted(server.password) +
               line.substr(std::strlen("mariadb")) + " " + Quoted(database) + " < " + Quoted(file));
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

// TLS through the client library's options, against a server with a
// certificate of the test's own CA: the run really goes over TLS, another
// CA is refused at connect, and --ssl refuses a server without TLS.
TEST_F(ServerTest, TlsIsRequiredAndTheServerCertificateChecked) {
  TempDir certs;
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
  ASSERT_EQ(Shell(make), 0);
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
  // The shared test server has no TLS; a CA asks for it.
  std::vector<std::string> args = ServerArgs(*server_, prefix + "_plain");
  args.push_back(ca);
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

// A real three-node Galera cluster: a MyISAM run is refused before anything
// is made, and InnoDB runs, plain and atomic, reach every node with every
// row. A cluster that cannot start fails the test with the reason.
TEST_F(OwnServerTest, AGaleraClusterGetsEveryRowOnEveryNode) {
  TempDir dir;
  const std::string script = QuotedSource("scripts/lib/test-cluster") + " ";
  const bool started =
      Shell(script + "start " + Quoted(dir.path()) + " 2>" + Quoted(dir / "start.log")) == 0;
  struct Stop {
    std::string command;
    ~Stop() { Shell(command); }
  } stop{script + "stop " + Quoted(dir.path())};
  ASSERT_TRUE(started) << ReadFile(dir / "start.log");
  std::vector<Server> nodes;
  for (int n = 1; n <= 3; ++n) nodes.push_back(ServerIn(dir / ("node" + std::to_string(n))));

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
  PausedRun first(client_dir.path(),
                  ServerArgs(nodes[0], "galera") + "--engine=InnoDB" + "--parallel=1", {"table"});
  first.WaitHeld();
  PausedRun second(client_dir.path(),
                   ServerArgs(nodes[1], "galera") + "--engine=InnoDB" + "--lock-wait=300",
                   {"cluster-wait"});
  second.WaitHeld();
  first.Release();
  const RunResult one = first.Finish();
  second.Release();
  const RunResult two = second.Finish();
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(two.status, 0) << two.err;
  EXPECT_NE(Unwrapped(two.err).find("another run is loading database galera through node "),
            std::string::npos)
      << two.err;
  ExpectSameTables({&node1, &node2, &node3}, "galera");
  EXPECT_EQ(node3.Value("SELECT COUNT(*) FROM galera.vesk_dbc2sql"), "0") << "let go at the end";
  // So does --verify through another node: it reads no table a load writes.
  PausedRun load(client_dir.path(),
                 ServerArgs(nodes[0], "galera") + "--engine=InnoDB" + "--parallel=1", {"table"});
  load.WaitHeld();
  PausedRun check(client_dir.path(),
                  ServerArgs(nodes[2], "galera") + "--verify" + "--lock-wait=300",
                  {"cluster-wait"});
  check.WaitHeld();
  load.Release();
  EXPECT_EQ(load.Finish().status, 0);
  check.Release();
  const RunResult checked = check.Finish();
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

// Two connections and tables larger than the room beside the largest one:
// the connection that finds no table to fit waits, and is woken when the
// largest is loaded (a mapped file keeps only its strings in memory). The
// other connection is held before it tells the schedule, until the waiting
// one stands at its wait (holding the schedule's lock); then the waiting one
// goes into its wait and the held one is let go. Without the budget nobody
// would wait; without the wake-up the run would never end.
TEST_F(ServerTest, AConnectionWaitingForRoomIsWokenWhenTheLargestIsLoaded) {
  // Spell about 5 MB, Achievement and ChrRaces about 3 MB each: neither fits
  // beside Spell within its size and 2 MiB.
  MakeSampleClient(client_dir.path(), {"--records", "1500"});
  const std::string db = prefix + "_room";
  std::vector<std::string> args = ServerArgs(*server_, db);
  args.insert(args.end(), {"--parallel=2", "--tables=Spell,Achievement,ChrRaces,Languages"});
  PausedRun run(client_dir.path(), args, {"loaded:vesk_spell", "schedule-wait"});
  run.WaitHeld(0);
  run.WaitHeld(1);
  run.Release(1);
  run.Release(0);
  const RunResult r = run.Finish();
  EXPECT_EQ(r.status, 0) << r.err;
  Client c(*server_);
  for (const char* table : {"vesk_spell", "vesk_achievement", "vesk_chr_races"})
    EXPECT_EQ(c.Value("SELECT COUNT(*) FROM `" + db + "`.`" + table + "`"), "1500") << table;
}

// The administrator's cycle, night after night: load, edit, keep the edit,
// patch, copy the patch into the client, reload clean, undo the edit and
// patch again, keep the edits as SQL, update the client, carry the edits
// over. Each step: what is done first, the run's options, its exit status
// and what it says.
TEST_F(ServerTest, TheAdministratorsCycleEndsCleanEveryNight) {
  const std::string db = prefix + "_cycle", in = "`" + db + "`.";
  const std::string spell = ReadFile(client_dir / "dbc/Spell.dbc");
  Client c(*server_);
  std::filesystem::create_directories(client_dir / "patch");
  const auto edit = [&](const std::string& to) {
    return
        [&, to] { c.Exec("UPDATE " + in + "vesk_spell SET SpellName = " + to + " WHERE id = 4"); };
  };
  std::string original;
  struct Step {
    const char* what;
    std::function<void()> before;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;
  };
  const std::vector<Step> steps = {
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
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    std::vector<std::string> args = ServerArgs(*server_, db);
    args.insert(args.end(), step.args.begin(), step.args.end());
    const RunResult r = RunConverter(client_dir.path(), args);
    EXPECT_EQ(r.status, step.status) << r.out << r.err;
    for (const std::string& said : step.says)
      EXPECT_NE(Unwrapped(r.out + r.err).find(said), std::string::npos) << said << "\n"
                                                                        << r.out << r.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(client_dir / "patch"));
  // The edits as SQL, applied to a fresh load of the updated client: the
  // edit and the update both, as the database holds them.
  ASSERT_EQ(Export(db + "_new").status, 0);
  ASSERT_EQ(LoadAsTheReadmeSays(*server_, db + "_new", client_dir / "edits.sql"), 0);
  for (const char* table : {"vesk_spell", "vesk_languages"})
    EXPECT_EQ(c.Rows("CHECKSUM TABLE `" + db + "_new`." + table)[0][1],
              c.Rows("CHECKSUM TABLE " + in + table)[0][1])
        << table;
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
// the client's rows: queued behind the load's lock, it comes after the
// record and is told as an edit by the next reload; made to the live table
// while --atomic loads its staging table, it is kept and the new rows go.
TEST_F(ServerTest, AnEditMadeWhileATableLoadsIsKeptOrTold) {
  const std::vector<std::vector<std::string>> modes = {
      {}, {"--atomic"}, {"--atomic", "--engine=InnoDB"}};
  for (const std::vector<std::string>& mode : modes) {
    const bool atomic = !mode.empty();
    const std::string db = prefix + "_" + std::to_string(mode.size());
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
    if (!atomic)  // the edit waits for the load's lock
      admin.AwaitRows(
          "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE "
          "'UPDATE%Edited meanwhile%' AND STATE LIKE '%lock%'",
          1);
    else
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
    const std::string comment =
        c.Value("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db +
                "' AND TABLE_NAME = 'vesk_spell'");
    EXPECT_TRUE(comment.starts_with("vesk-dbc2sql run ")) << comment;
    EXPECT_NE(comment.find("; file=dbc\\Spell.dbc; size="), std::string::npos) << comment;
    c.Exec("UPDATE " + in + "vesk_spell SET SpellName = 'Edited' WHERE id = 4");
    c.Exec("INSERT INTO " + in + "vesk_languages (id, name) VALUES (99999, 'added')");
    const auto record_of = [&](const char* table) {
      return c.Value("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                     db + "' AND TABLE_NAME = '" + table + "'");
    };
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
    for (const auto& table : report["tables"])
      if (table["table"] == "vesk_spell") {
        EXPECT_EQ(table["cause"]["kind"], "edited");
      }

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
  // A user who may not read the table cannot compare its checksum: kept.
  const std::string kept_db = prefix + "_0";
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

  // Loaded from the script: no record, replaced as ever.
  const std::string db = prefix + "_script";
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql"}).status, 0);
  c.Exec("CREATE DATABASE `" + db + "`");
  ASSERT_EQ(LoadAsTheReadmeSays(*server_, db, client_dir / "out.sql"), 0);
  c.Exec("UPDATE `" + db + "`.vesk_spell SET SpellName = 'Edited' WHERE id = 4");
  EXPECT_EQ(Export(db, {"--quiet"}).status, 0);
  EXPECT_NE(c.Value("SELECT SpellName FROM `" + db + "`.vesk_spell WHERE id = 4"), "Edited");

  // A record cut short on the server counts as an edit; one copied from
  // another table is not this table's record.
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
  // A table whose schema was changed on the server is never skipped, and is
  // skipped again once it is the catalogue's.
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

TEST_F(ServerTest, VerifyNamesWhatDiffersFromTheClient) {
  const std::string db = prefix + "_verify";
  const auto verify = [&](const std::string& database) {
    std::vector<std::string> args = ServerArgs(*server_, database);
    args.push_back("--verify");
    return RunConverter(client_dir.path(), args);
  };
  ASSERT_EQ(Export(db).status, 0);
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql"}).status, 0);
  Client c(*server_);
  c.Exec("CREATE DATABASE `" + db + "_script`");
  ASSERT_EQ(LoadAsTheReadmeSays(*server_, db + "_script", client_dir / "out.sql"), 0);
  for (const std::string& database : {db, db + "_script"}) {
    const RunResult equal = verify(database);
    EXPECT_EQ(equal.status, 0) << equal.out;
    EXPECT_EQ(CountOf(equal.out, ": equal, "), CatalogueSize()) << equal.out;
    EXPECT_NE(equal.out.find("\nvesk_spell: equal, 1000 rows\n"), std::string::npos);
    EXPECT_EQ(MaskTime(equal.err),
              "vesk-dbc2sql: 0 of " + Tables() + " tables differ; exit status 0\n");
  }
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
  const RunResult differ = verify(db);
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
  std::vector<std::string> quiet = ServerArgs(*server_, db + "_script");
  quiet.insert(quiet.end(), {"--verify", "--quiet"});
  const RunResult silent = RunConverter(client_dir.path(), quiet);
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(silent.out + silent.err, "");
  quiet[9] = db;
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
  EXPECT_EQ(RunConverter(client_dir.path(), {"-f", "x.sql", "--verify"}).status, 2);
  // A key column whose type the user changed is named, rather than every
  // row called missing and extra.
  c.Exec("ALTER TABLE " + in + "vesk_spell MODIFY id int(11) NOT NULL");
  c.Exec("UPDATE " + in + "vesk_spell SET id = -1 WHERE id = 4");
  const RunResult retyped = verify(db);
  EXPECT_NE(retyped.out.find("\nvesk_spell: its key column id is int(11) in the database, not "
                             "int(10) unsigned: its rows cannot be matched with the client's\n"),
            std::string::npos)
      << retyped.out;
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

// --write-dbc: from a database loaded by the tool or from the script, every
// client file comes back byte for byte; after edits only the edited records
// change, the files verify equal against the database, and values the
// format cannot hold, or the client's own folder, are refused.
TEST_F(ServerTest, WriteDbcRoundTripsTheClient) {
  const std::string db = prefix + "_back";
  ASSERT_EQ(Export(db).status, 0);
  ASSERT_EQ(RunConverter(client_dir.path(), {"-f", "out.sql"}).status, 0);
  Client c(*server_);
  c.Exec("CREATE DATABASE `" + db + "_script`");
  ASSERT_EQ(LoadAsTheReadmeSays(*server_, db + "_script", client_dir / "out.sql"), 0);
  const auto write = [&](const std::string& database, const std::string& dir) {
    std::filesystem::create_directories(client_dir / dir);
    std::vector<std::string> args = ServerArgs(*server_, database);
    args.push_back("--write-dbc=" + dir);
    return RunConverter(client_dir.path(), args);
  };
  const auto same_files = [&](const std::string& dir) {
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
  };
  for (const std::string& database : {db, db + "_script"}) {
    const RunResult r = write(database, "from_" + database);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(same_files("from_" + database), std::vector<std::string>{});
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
  const RunResult edited = write(db, "edited/dbc");
  EXPECT_EQ(edited.status, 0) << edited.err;
  EXPECT_NE(edited.out.find("\nvesk_spell: Spell.dbc written, 1000 records (2 changed, 1 added, "
                            "1 left out)\n"),
            std::string::npos)
      << edited.out;
  EXPECT_EQ(same_files("edited/dbc"), std::vector<std::string>{"Spell.dbc"});
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

  // --changed-only: the patch is that one file, listed at the end; then one
  // rating value changes one of the rating table's three files.
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

  c.Exec("ALTER TABLE " + in + "vesk_languages MODIFY `name` text NULL");
  c.Exec("UPDATE " + in + "vesk_languages SET `name` = NULL WHERE id = 1");
  c.Exec("ALTER TABLE " + in + "vesk_spell MODIFY `Category` bigint");
  c.Exec("UPDATE " + in + "vesk_spell SET `Category` = 5000000000 WHERE id = 1");
  const RunResult refused = write(db, "refused");
  EXPECT_EQ(refused.status, 1);
  for (const char* line :
       {"\nvesk_languages: not written: row id 1, column name: NULL\n",
        "\nvesk_spell: not written: row id 1, column Category: 5000000000 is out of the range of "
        "its unsigned 32-bit field\n"})
    EXPECT_NE(refused.out.find(line), std::string::npos) << line << refused.out;
  EXPECT_FALSE(std::filesystem::exists(client_dir / "refused/Spell.dbc"));
  EXPECT_FALSE(std::filesystem::exists(client_dir / "refused/Languages.dbc"));
  EXPECT_TRUE(HiddenFiles(client_dir / "refused").empty());
  // A signal stops the run between rows (here while Spell's rows wait for a
  // lock): no file is left half written.
  std::filesystem::create_directories(client_dir / "stopped");
  std::vector<std::string> stop_args = ServerArgs(*server_, db + "_script");
  stop_args.push_back("--write-dbc=stopped");
  c.Exec("LOCK TABLES `" + db + "_script`.vesk_spell WRITE");
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
  const RunResult own = write(db, "dbc");
  EXPECT_EQ(own.status, 2);
  EXPECT_NE(own.err.find("the client's own dbc folder"), std::string::npos) << own.err;
  EXPECT_EQ(ReadFile(client_dir / "dbc/Spell.dbc"), spell);
}

}  // namespace
