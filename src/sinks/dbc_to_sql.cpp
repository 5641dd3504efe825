#include "sinks/dbc_to_sql.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "port/console.h"
#include "port/interrupt.h"

namespace {

// Eight hex digits that no other run is likely to have.
std::string NewRunId() {
  std::uint32_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
    bits = static_cast<std::uint32_t>(::getpid()) * 2654435761u ^
           static_cast<std::uint32_t>(std::time(nullptr));
  char id[9];
  std::snprintf(id, sizeof id, "%08x", bits);
  return id;
}

// Whether `name` is a table that --atomic makes: "vesk_..." followed by
// the staging or retired ending and a run's id.
bool IsStagingName(const std::string& name) {
  constexpr std::size_t kTail = 6 + 8;  // "__new_" or "__old_", then the id
  if (name.size() <= kTail || name.compare(0, 5, "vesk_") != 0) return false;
  const std::string tail = name.substr(name.size() - kTail);
  if (tail.compare(0, 6, "__new_") != 0 && tail.compare(0, 6, "__old_") != 0) return false;
  for (std::size_t i = 6; i < kTail; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(tail[i]))) return false;
  return true;
}

}  // namespace

dbcToSQL::dbcToSQL(const ConnectOptions& options) : options_(options), run_id_(NewRunId()) {
  // A certificate check means nothing over a plain connection.
  options_.ssl = options_.ssl || options_.ssl_verify_server_cert;
  if (options_.atomic) {
    staging_suffix_ = kStaging + run_id_;
    staging_mark_ = kMark + run_id_;
  }
  handle_live_ = InitHandle();
}

bool dbcToSQL::InitHandle() {
  if (!mysql_init(&mysql_)) return false;
  // A server that accepts the connection but never answers must not hang
  // the run. Statements themselves get no time limit: long ones are normal.
  const unsigned int timeout = options_.timeout_seconds;
  mysql_options(&mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  // TLS on (the files come next, as mysql_ssl_set() clears them).
  if (options_.ssl) mysql_ssl_set(&mysql_, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (options_.ssl_ca) mysql_options(&mysql_, MYSQL_OPT_SSL_CA, options_.ssl_ca);
  if (options_.ssl_cert) mysql_options(&mysql_, MYSQL_OPT_SSL_CERT, options_.ssl_cert);
  if (options_.ssl_key) mysql_options(&mysql_, MYSQL_OPT_SSL_KEY, options_.ssl_key);
  const my_bool yes = 1;
  if (options_.ssl_verify_server_cert)
    mysql_options(&mysql_, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &yes);
  return true;
}

void dbcToSQL::KeepServerError() {
  const unsigned error = mysql_errno(&mysql_);
  server_errno_ = error;
  server_error_ = "ERROR " + std::to_string(error) + " (" + mysql_sqlstate(&mysql_) +
                  "): " + mysql_error(&mysql_);
  // The connection is gone: the next table connects again.
  if (error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST || error == ER_NET_PACKET_TOO_LARGE)
    lost_ = true;
}

std::string dbcToSQL::RefusalReason() const { return server_error_; }

bool dbcToSQL::FitsInPacket(std::size_t length) {
  // The server drops the connection on a packet over its limit: a command
  // byte and the statement.
  if (length + 1 <= max_packet_) return true;
  server_error_ = "the statement of " + std::to_string(length) +
                  " bytes is larger than the server's max_allowed_packet of " +
                  std::to_string(max_packet_) + " bytes";
  return false;
}

bool dbcToSQL::Query(const char* text) {
  if (!FitsInPacket(std::strlen(text))) return false;
  if (mysql_query(&mysql_, text) == 0) return true;
  KeepServerError();
  return false;
}

bool dbcToSQL::PrepareSession() {
  // The statements are escaped with backslashes, so the server must honour
  // them: otherwise a quote in a client string would end its literal and
  // the rest of the string would run as SQL. The whole mode is the tool's
  // own, whatever the server's: strict mode makes the server refuse a value
  // it would otherwise change (a character it cannot store, a text too
  // long, nan), and no other mode changes values, quoting or empty texts.
  // Engine substitution stays allowed, so that a server which forces
  // another engine still takes the tables. Autocommit keeps every applied
  // row.
  const char kSession[] = "SET SESSION sql_mode = 'STRICT_ALL_TABLES', SESSION autocommit = 1";
  if (!Query(kSession)) {
    ReportRefused(kSession);
    return false;
  }
  return true;
}

dbcToSQL::~dbcToSQL() {
  Close();
  if (handle_live_) mysql_close(&mysql_);
}

bool dbcToSQL::Connect(const char* host, const char* user, const char* password,
                       const char* database, int port) {
  host_ = host;
  user_ = user;
  has_password_ = password != nullptr;
  password_ = password ? password : "";
  database_ = database;
  port_ = port;
  std::printf("Connecting to MySQL server: ");
  bool connected = false;
  {
    const EndAtOnce at_once("while connecting");
    connected = handle_live_ && RealConnect();
  }
  if (!connected) {
    const std::string reason = ConnectError();
    std::printf("\n %s\n", reason.c_str());
    connected_ = false;
    CountFault(reason);
    return false;
  }
  connected_ = true;
  std::printf("ok\n");
  if (!SetUpSession() || !LockDatabase()) return false;

  if (mysql_select_db(&mysql_, database) == 0) {
    std::printf("Select database: %s\n", database);
  } else {
    std::printf("Create database: %s\n", database);
    Write(BuildCreateDatabase(database));
    if (mysql_select_db(&mysql_, database) != 0)
      CountFault(std::string("cannot select database ") + database + ": " + mysql_error(&mysql_));
  }
  DropLeftovers();
  return true;
}

bool dbcToSQL::LockDatabase() {
  // One lock per database, named after it (a long name by its digest, as
  // a lock name holds 64 characters at most).
  std::string name = "vesk-dbc2sql:" + database_;
  if (name.size() > 64) {
    std::uint64_t digest = 14695981039346656037ull;
    for (const unsigned char c : database_) digest = (digest ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
    name = std::string("vesk-dbc2sql:") + hex;
  }
  std::string quoted(2 * name.size() + 1, '\0');
  quoted.resize(mysql_real_escape_string(&mysql_, quoted.data(), name.c_str(), name.size()));
  const auto take = [&](unsigned seconds, std::string* got) {
    return Value("SELECT GET_LOCK('" + quoted + "', " + std::to_string(seconds) + ")", got);
  };
  const EndAtOnce at_once("while waiting for another run");
  std::string got;
  const unsigned wait = options_.lock_wait_seconds;
  bool asked = take(std::min(wait, 1u), &got);
  if (asked && got == "0" && wait > 1) {
    Warn("another run is loading database " + database_ + "; waiting for it (at most " +
         std::to_string(wait) + " s, --lock-wait)");
    asked = take(wait - 1, &got);
  }
  if (asked && got == "1") return true;
  CountFault(!asked ? "the lock of database " + database_ + " cannot be taken: " + server_error_
                    : "another run held the lock of database " + database_ + " for " +
                          std::to_string(wait) + " s (--lock-wait); nothing was changed");
  return false;
}

void dbcToSQL::DropLeftovers() {
  if (!Query((std::string("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                          "DATABASE() AND TABLE_COMMENT LIKE '") +
              kMark + "%'")
                 .c_str()))
    return;
  std::vector<std::string> leftovers;
  if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
    while (MYSQL_ROW row = mysql_fetch_row(result))
      if (row[0] && IsStagingName(row[0])) leftovers.emplace_back(row[0]);
    mysql_free_result(result);
  }
  // The lock is held: no other run of the tool is using them.
  for (const std::string& table : leftovers)
    Quietly(("DROP TABLE IF EXISTS `" + table + "`").c_str());
}

bool dbcToSQL::RealConnect() {
  // A TLS file that cannot be read is named, rather than left to the
  // library's words.
  connect_problem_.clear();
  for (const auto& [option, path] : {std::pair{"--ssl-ca", options_.ssl_ca},
                                     {"--ssl-cert", options_.ssl_cert},
                                     {"--ssl-key", options_.ssl_key}}) {
    if (path && ::access(path, R_OK) != 0) {
      connect_problem_ = std::string("the ") + option + " file " + path +
                         " cannot be read: " + std::strerror(errno);
      return false;
    }
  }
  if (!mysql_real_connect(&mysql_, host_, user_, has_password_ ? password_.c_str() : nullptr,
                          nullptr, static_cast<unsigned>(port_), options_.socket, 0))
    return false;
  // The library falls back to a plain connection where the server offers
  // no TLS: --ssl refuses it before any statement.
  if (options_.ssl && !mysql_get_ssl_cipher(&mysql_)) {
    connect_problem_ = "the server offers no TLS, which --ssl requires";
    return false;
  }
  return true;
}

std::string dbcToSQL::ConnectError() {
  if (!handle_live_) return "cannot initialise the client library";
  if (!connect_problem_.empty()) return connect_problem_;
  return mysql_error(&mysql_);
}

bool dbcToSQL::SetUpSession() {
  lost_ = false;
  max_packet_ = kUnknownPacket;
  // The character set is the session's too: a connection made again after
  // a loss must not fall back to the server's or init_connect's.
  if (!PrepareSession() || mysql_set_character_set(&mysql_, "utf8") != 0) {
    if (server_error_.empty()) KeepServerError();
    CountFault("the server refused the session settings: " + server_error_);
    return false;
  }
  // Batches need multi-statement queries and must fit in one packet.
  multi_statements_ = mysql_set_server_option(&mysql_, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0;
  // Leave room for the packet header and a margin; unknown: one row per
  // query.
  std::string packet_text;
  Value("SELECT @@max_allowed_packet", &packet_text);
  const unsigned long long packet = std::strtoull(packet_text.c_str(), nullptr, 10);
  if (packet > 0) max_packet_ = packet;
  batch_bytes_limit_ = std::min<unsigned long long>(kBatchBytes, packet / 2);
  bulk_bytes_limit_ = std::min<unsigned long long>(kBulkBytes, packet / 2);
  return true;
}

bool dbcToSQL::Ready() {
  if (!connected_) return false;
  if (stopping_) {
    CountFault("a staging table cannot be dropped, so --atomic cannot keep the old tables safe: " +
               server_error_);
    return false;
  }
  if (!lost_) return true;
  // The server went away during the last table (restarted, killed, idle
  // too long): connect once more before the next one.
  Warn("the connection to the server was lost (" + server_error_ + "); connecting again");
  bulk_.Close();
  mysql_close(&mysql_);
  locked_ = false;
  handle_live_ = InitHandle();
  if (!handle_live_ || !RealConnect()) {
    CountFault("the connection to the server was lost and cannot be made again: " + ConnectError());
    return false;
  }
  if (!SetUpSession() || !LockDatabase()) return false;
  if (mysql_select_db(&mysql_, database_.c_str()) != 0) {
    CountFault("cannot select database " + database_ + " again: " + mysql_error(&mysql_));
    return false;
  }
  // The staging table of the table in flight is of no use now.
  if (options_.atomic && IsLoaded()) Quietly(("DROP TABLE IF EXISTS `" + SqlName() + "`").c_str());
  return true;
}

bool dbcToSQL::Write(const char* text) {
  if (!connected_ || stopping_) return false;
  if (Query(text)) return true;
  ReportRefused(text);
  // A staging table that cannot be dropped could not be cleaned away
  // either: nothing more is created.
  if (options_.atomic && std::strncmp(text, "DROP TABLE", 10) == 0) stopping_ = true;
  return false;
}

bool dbcToSQL::Quietly(const char* sql) { return connected_ && mysql_query(&mysql_, sql) == 0; }

bool dbcToSQL::Value(const std::string& sql, std::string* value) {
  value->clear();
  if (!Query(sql.c_str())) return false;
  if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row && row[0]) *value = row[0];
    mysql_free_result(result);
  }
  return true;
}

std::string dbcToSQL::Abandon(bool) {
  if (!IsLoaded() || !RowsCut()) return "";
  if (options_.atomic) return std::string(Descriptor()->table_name) + " is kept as it was";
  return std::string(Descriptor()->table_name) + " is left partial, with " +
         std::to_string(TableRows()) + " of " + std::to_string(RecordCount()) + " rows";
}

void dbcToSQL::Close() {
  if (!connected_) return;
  bulk_.Close();
  mysql_close(&mysql_);
  handle_live_ = false;
  connected_ = false;
  std::printf("Disconnect\n");
}

void dbcToSQL::EndTable(bool complete) {
  if (!options_.atomic || !connected_) return;
  Unlock();
  const std::string table = Descriptor()->table_name;
  const std::string staging = "`" + SqlName() + "`";
  const std::string retired = "`" + table + kRetired + run_id_ + "`";
  // A table that failed or was interrupted leaves the old one as it was.
  if (!complete) {
    Quietly(("DROP TABLE IF EXISTS " + staging).c_str());
    return;
  }
  // One RENAME swaps both names at once for every reader of the table.
  std::string exists;
  Value(
      "SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND "
      "TABLE_NAME = '" +
          table + "'",
      &exists);
  const std::string swap = exists == "0" ? "RENAME TABLE " + staging + " TO `" + table + "`"
                                         : "RENAME TABLE `" + table + "` TO " + retired + ", " +
                                               staging + " TO `" + table + "`";
  if (!Swap(swap)) {
    ReportRefused(swap.c_str());
    CountFault(server_error_, server_errno_);
    Quietly(("DROP TABLE IF EXISTS " + staging).c_str());
    return;
  }
  if (exists != "0") Quietly(("DROP TABLE IF EXISTS " + retired).c_str());
}

bool dbcToSQL::Swap(const std::string& sql) {
  if (!FitsInPacket(sql.size())) return false;
  if (mysql_send_query(&mysql_, sql.c_str(), static_cast<unsigned long>(sql.size())) != 0) {
    KeepServerError();
    return false;
  }
  // Readers of the old table hold it until their statements end; the
  // RENAME waits for them, at most the session's lock_wait_timeout.
  pollfd answer = {static_cast<int>(mysql_get_socket(&mysql_)), POLLIN, 0};
  if (::poll(&answer, 1, 2000) == 0) {
    Warn(std::string("the swap of ") + Descriptor()->table_name +
         " waits for its readers to finish (at most the session's lock_wait_timeout)");
  }
  if (mysql_read_query_result(&mysql_) != 0) {
    KeepServerError();
    return false;
  }
  return true;
}
