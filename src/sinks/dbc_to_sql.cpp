#include "sinks/dbc_to_sql.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

dbcToSQL::dbcToSQL(const ConnectOptions& options) : options_(options) {
  handle_live_ = InitHandle();
}

bool dbcToSQL::InitHandle() {
  if (!mysql_init(&mysql_)) return false;
  // A server that accepts the connection but never answers must not hang
  // the run. Statements themselves get no time limit: long ones are normal.
  const unsigned int timeout = options_.timeout_seconds;
  mysql_options(&mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  if (options_.defaults_file) {
    mysql_options(&mysql_, MYSQL_READ_DEFAULT_FILE, options_.defaults_file);
    mysql_options(&mysql_, MYSQL_READ_DEFAULT_GROUP, "vesk-dbc2sql");
  }
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
  if (!handle_live_ || !RealConnect()) {
    const std::string reason = ConnectError();
    std::printf("\n %s\n", reason.c_str());
    connected_ = false;
    CountFault(reason);
    return false;
  }
  connected_ = true;
  std::printf("ok\n");
  if (!SetUpSession()) return false;

  if (mysql_select_db(&mysql_, database) == 0) {
    std::printf("Select database: %s\n", database);
  } else {
    std::printf("Create database: %s\n", database);
    Write(BuildCreateDatabase(database));
    if (mysql_select_db(&mysql_, database) != 0)
      CountFault(std::string("cannot select database ") + database + ": " + mysql_error(&mysql_));
  }
  return true;
}

bool dbcToSQL::RealConnect() {
  if (!mysql_real_connect(&mysql_, host_, user_, has_password_ ? password_.c_str() : nullptr,
                          nullptr, static_cast<unsigned>(port_), options_.socket, 0))
    return false;
  // The library falls back to a plain connection where the server offers
  // no TLS: --ssl refuses it before any statement.
  if (options_.ssl && !mysql_get_ssl_cipher(&mysql_)) {
    no_tls_ = true;
    return false;
  }
  return true;
}

std::string dbcToSQL::ConnectError() {
  if (!handle_live_) return "cannot initialise the client library";
  if (no_tls_) return "the server offers no TLS, which --ssl requires";
  return mysql_error(&mysql_);
}

bool dbcToSQL::SetUpSession() {
  lost_ = false;
  max_packet_ = kUnknownPacket;
  if (!PrepareSession()) {
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
  if (!lost_) return true;
  // The server went away during the last table (restarted, killed, idle
  // too long): connect once more before the next one.
  std::fflush(stdout);
  std::fprintf(stderr,
               "vesk-dbc2sql: the connection to the server was lost (%s); connecting again\n",
               server_error_.c_str());
  bulk_.Close();
  mysql_close(&mysql_);
  locked_ = false;
  handle_live_ = InitHandle();
  if (!handle_live_ || !RealConnect()) {
    CountFault("the connection to the server was lost and cannot be made again: " + ConnectError());
    return false;
  }
  if (!SetUpSession()) return false;
  if (mysql_select_db(&mysql_, database_.c_str()) != 0) {
    CountFault("cannot select database " + database_ + " again: " + mysql_error(&mysql_));
    return false;
  }
  return true;
}

bool dbcToSQL::Write(const char* text) {
  if (!connected_) return false;
  if (Query(text)) return true;
  ReportRefused(text);
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
  const std::string retired = "`" + table + kRetired + "`";
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
  Quietly(("DROP TABLE IF EXISTS " + retired).c_str());
  const std::string swap = exists == "0" ? "RENAME TABLE " + staging + " TO `" + table + "`"
                                         : "RENAME TABLE `" + table + "` TO " + retired + ", " +
                                               staging + " TO `" + table + "`";
  if (!Query(swap.c_str())) {
    ReportRefused(swap.c_str());
    CountFault(server_error_);
    Quietly(("DROP TABLE IF EXISTS " + staging).c_str());
    return;
  }
  Quietly(("DROP TABLE IF EXISTS " + retired).c_str());
}
