#include "sinks/dbc_to_sql.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sql/progress_bar.h"

dbcToSQL::dbcToSQL() {
  handle_live_ = mysql_init(&mysql_) != nullptr;
  // A server that accepts the connection but never answers must not hang
  // the run. Statements themselves get no time limit: long ones are normal.
  if (handle_live_) {
    const unsigned int timeout = kConnectTimeoutSeconds;
    mysql_options(&mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  }
}

namespace {

// The session's sql_mode without NO_BACKSLASH_ESCAPES and with
// STRICT_ALL_TABLES; empty if `mode` holds anything but mode names.
std::string SafeSqlMode(std::string_view mode) {
  std::string safe;
  bool strict = false;
  while (!mode.empty()) {
    const std::size_t comma = mode.find(',');
    const std::string_view name = mode.substr(0, comma);
    mode.remove_prefix(comma == std::string_view::npos ? mode.size() : comma + 1);
    if (name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") != std::string_view::npos)
      return "";
    if (name.empty() || name == "NO_BACKSLASH_ESCAPES") continue;
    strict = strict || name == "STRICT_ALL_TABLES";
    safe.append(safe.empty() ? "" : ",").append(name);
  }
  if (!strict) safe.append(safe.empty() ? "" : ",").append("STRICT_ALL_TABLES");
  return safe;
}

}  // namespace

void dbcToSQL::ReportServerError() {
  std::fflush(stdout);
  std::fprintf(stderr, "ERROR %u (%s): %s\n", mysql_errno(&mysql_), mysql_sqlstate(&mysql_),
               mysql_error(&mysql_));
}

bool dbcToSQL::PrepareSession() {
  // The statements are escaped with backslashes, so the server must honour
  // them: otherwise a quote in a client string would end its literal and
  // the rest of the string would run as SQL. Strict mode makes the server
  // refuse a value it would otherwise change (a character it cannot store,
  // a text too long, nan), and autocommit keeps every applied row.
  std::string mode;
  const char kReadMode[] = "SELECT @@SESSION.sql_mode";
  if (mysql_query(&mysql_, kReadMode) != 0) {
    std::printf("ERROR sql command:\n%s\n", kReadMode);
    ReportServerError();
    return false;
  }
  if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row && row[0]) mode = row[0];
    mysql_free_result(result);
  }
  const std::string safe = SafeSqlMode(mode);
  const std::string set = "SET SESSION sql_mode = '" + (safe.empty() ? "STRICT_ALL_TABLES" : safe) +
                          "', SESSION autocommit = 1";
  if (mysql_query(&mysql_, set.c_str()) != 0) {
    std::printf("ERROR sql command:\n%s\n", set.c_str());
    ReportServerError();
    return false;
  }
  return true;
}

dbcToSQL::~dbcToSQL() {
  Close();
  if (handle_live_) mysql_close(&mysql_);
}

bool dbcToSQL::Connect(const char* host, const char* user,
                       const char* password, const char* database, int port) {
  std::printf("Connecting to MySQL server: ");
  if (!handle_live_ ||
      !mysql_real_connect(&mysql_, host, user, password, nullptr,
                          static_cast<unsigned>(port), nullptr, 0)) {
    std::printf("\n %s\n", handle_live_ ? mysql_error(&mysql_)
                                        : "cannot initialise the client library");
    connected_ = false;
    CountFault();
    return false;
  }
  connected_ = true;
  std::printf("ok\n");
  if (!PrepareSession()) {
    CountFault();
    return false;
  }

  // Batches need multi-statement queries and must fit in one packet.
  multi_statements_ = mysql_set_server_option(&mysql_, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0;
  if (mysql_query(&mysql_, "SELECT @@max_allowed_packet") == 0) {
    if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
      MYSQL_ROW row = mysql_fetch_row(result);
      if (row && row[0]) {
        const unsigned long long packet = std::strtoull(row[0], nullptr, 10);
        // Leave room for the packet header and a margin.
        if (packet / 2 < batch_bytes_limit_) batch_bytes_limit_ = packet / 2;
      }
      mysql_free_result(result);
    }
  } else {
    batch_bytes_limit_ = 0;  // unknown: one row per query
  }

  if (mysql_select_db(&mysql_, database) == 0) {
    std::printf("Select database: %s\n", database);
  } else {
    std::printf("Create database: %s\n", database);
    Write(BuildCreateDatabase(database));
    if (mysql_select_db(&mysql_, database) != 0) CountFault();
  }
  return true;
}

bool dbcToSQL::Write(const char* text) {
  if (!connected_) return false;
  if (mysql_query(&mysql_, text) == 0) return true;
  std::printf("ERROR sql command:\n%s\n", text);
  ReportServerError();
  return false;
}

bool dbcToSQL::Quietly(const char* sql) {
  return connected_ && mysql_query(&mysql_, sql) == 0;
}

std::uint32_t dbcToSQL::FillBatch(Batch& batch, std::uint32_t next) {
  batch.text.Clear();
  batch.starts.clear();
  const std::uint32_t rows = RecordCount();
  while (next < rows && batch.starts.size() < kBatchRows) {
    const char* insert = BuildInsert(next);
    const std::size_t length = StatementLength();
    // A row larger than the byte limit goes alone.
    if (!batch.starts.empty() && batch.text.size() + length > batch_bytes_limit_) break;
    batch.starts.push_back(batch.text.size());
    batch.text.Append(insert, length);
    ++next;
  }
  return next;
}

bool dbcToSQL::SendBatch(Batch& batch) {
  const char* text = batch.text.CStr();
  const auto length = static_cast<unsigned long>(batch.text.size());
#ifdef VESK_HAVE_SEND_QUERY
  return mysql_send_query(&mysql_, text, length) == 0;
#else
  // Without a separate send, the query runs to its first result here.
  return mysql_real_query(&mysql_, text, length) == 0;
#endif
}

std::size_t dbcToSQL::ReadBatch(bool sent, bool* failed) {
  *failed = true;
  if (!sent) return 0;
#ifdef VESK_HAVE_SEND_QUERY
  if (mysql_read_query_result(&mysql_) != 0) return 0;
#endif
  std::size_t applied = 0;
  for (;;) {
    if (MYSQL_RES* result = mysql_store_result(&mysql_)) mysql_free_result(result);
    ++applied;
    const int next = mysql_next_result(&mysql_);
    if (next < 0) break;       // no more results
    if (next > 0) return applied;  // the statement after `applied` failed
  }
  *failed = false;
  return applied;
}

void dbcToSQL::WriteRows(ProgressBar& bar) {
  const std::uint32_t rows = RecordCount();
  if (!connected_ || !multi_statements_ || batch_bytes_limit_ == 0 || rows < 2) {
    DBCFile::WriteRows(bar);
    return;
  }
  // Without the LOCK TABLES privilege the rows still go, unlocked.
  const std::string table = Descriptor()->table_name;
  const bool locked = Quietly(("LOCK TABLES `" + table + "` WRITE").c_str());

  int current = 0;
  std::uint32_t next = FillBatch(batches_[current], 0);
  bool sent = SendBatch(batches_[current]);
  for (;;) {
    // Build the following batch while the server works on this one; it is
    // sent only if this one succeeds.
    Batch& batch = batches_[current];
    Batch& following = batches_[1 - current];
    const std::uint32_t after = next < rows ? FillBatch(following, next) : next;
    bool failed = false;
    // The server reports at most one result per statement sent.
    const std::size_t applied = std::min(ReadBatch(sent, &failed), batch.starts.size());
    for (std::size_t i = 0; i < applied; ++i) bar.Step();
    if (failed) {
      // Report the failing row's own statement, as a single query would.
      const std::size_t failing = std::min(applied, batch.starts.size() - 1);
      const std::size_t at = batch.starts[failing];
      const std::size_t end =
          failing + 1 < batch.starts.size() ? batch.starts[failing + 1] : batch.text.size();
      std::printf("ERROR sql command:\n%.*s\n", static_cast<int>(end - at), batch.text.CStr() + at);
      ReportServerError();
      CountFault();
      break;
    }
    if (next >= rows) break;
    next = after;
    current = 1 - current;
    sent = SendBatch(following);
  }
  if (locked) Quietly("UNLOCK TABLES");
}

void dbcToSQL::Close() {
  if (!connected_) return;
  mysql_close(&mysql_);
  handle_live_ = false;
  connected_ = false;
  std::printf("Disconnect\n");
}
