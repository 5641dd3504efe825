// The fixture of the server tests: the throwaway MariaDB server that
// ctest starts for them (VESK_TEST_SERVER_DIR), servers of a test's own,
// a client connection to look at what the converter did, a client file
// read by the test itself, and the helpers several test files share. Each
// test gets databases of its own names (prefix), dropped before it runs.
#pragma once

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

struct Server {
  std::string dir, port, socket, user, password;
};

inline std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

inline Server ServerIn(const std::string& dir) {
  Server s;
  s.dir = dir;
  s.port = Trim(ReadFile(dir + "/port"));
  s.socket = Trim(ReadFile(dir + "/socket"));
  s.user = Trim(ReadFile(dir + "/user"));
  s.password = Trim(ReadFile(dir + "/password"));
  return s;
}

// The converter's options for exporting into `database` on `server`.
inline std::vector<std::string> ServerArgs(const Server& server, const std::string& database) {
  return {"-h", "127.0.0.1",     "-o", server.port, "-u", server.user,
          "-p", server.password, "-d", database};
}

// `args` with `more` appended.
inline std::vector<std::string> operator+(std::vector<std::string> args, const std::string& more) {
  args.push_back(more);
  return args;
}

// `args` with `more` appended.
inline std::vector<std::string> operator+(std::vector<std::string> args,
                                          const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
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

inline const char* const kTables[] = {"vesk_achievement",
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

  // A --verify of `database`.
  RunResult Verify(const std::string& database) {
    return RunConverter(client_dir.path(), ServerArgs(*server_, database) + "--verify");
  }

  std::map<std::string, std::string> RowCounts(Client& c, const std::string& database) {
    std::map<std::string, std::string> counts;
    for (const char* table : kTables)
      counts[table] = c.Value("SELECT COUNT(*) FROM `" + database + "`.`" + table + "`");
    return counts;
  }

  static inline Server* server_ = nullptr;
  std::vector<std::string> sample_args;
  TempDir client_dir;
  std::string prefix;
};

// Tests that start servers of their own (and touch the shared one only to
// clear their databases): ctest runs them beside the others.
class OwnServerTest : public ServerTest {};

class DuplicateKeyTest : public ServerTest {
 protected:
  DuplicateKeyTest() { sample_args = {"--duplicate-key", "SpellCastTimes"}; }
};

// The client files of this test: two Languages records, the first one a
// text that would end its literal if backslashes were not escapes.
inline const std::string kInjection = "'); UNLOCK TABLES; DROP DATABASE victim; -- ";

inline void WriteLanguages(const std::string& dir, const std::vector<std::string>& names) {
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
inline int LoadAsTheReadmeSays(const Server& server, const std::string& database,
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
