#include "sinks/server_session.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "port/console.h"
#include "port/interrupt.h"

ServerSession::ServerSession(const ConnectOptions& options) : options_(options) {
  // A certificate check means nothing over a plain connection.
  options_.ssl = options_.ssl || options_.ssl_verify_server_cert;
  handle_live_ = InitHandle();
}

ServerSession::~ServerSession() {
  Close();
  if (handle_live_) mysql_close(&mysql_);
}

bool ServerSession::InitHandle() {
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

bool ServerSession::Open(const char* host, const char* user, const char* password, int port) {
  host_ = host;
  user_ = user;
  has_password_ = password != nullptr;
  password_ = password ? password : "";
  port_ = port;
  return Reopen();
}

bool ServerSession::OpenLike(const ServerSession& other) {
  host_ = other.host_;
  user_ = other.user_;
  has_password_ = other.has_password_;
  password_ = other.password_;
  port_ = other.port_;
  return Reopen();
}

bool ServerSession::Reopen() {
  if (connected_ || !handle_live_) {
    // A handle used before (a lost connection) is not used again.
    if (handle_live_) mysql_close(&mysql_);
    connected_ = false;
    handle_live_ = InitHandle();
    if (!handle_live_) return false;
  }
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
  {
    // Connecting blocks and changes nothing: a signal ends it at once.
    const EndAtOnce at_once("while connecting");
    if (!mysql_real_connect(&mysql_, host_, user_, has_password_ ? password_.c_str() : nullptr,
                            nullptr, static_cast<unsigned>(port_), options_.socket, 0))
      return false;
  }
  // The library falls back to a plain connection where the server offers
  // no TLS: --ssl refuses it before any statement.
  if (options_.ssl && !mysql_get_ssl_cipher(&mysql_)) {
    connect_problem_ = "the server offers no TLS, which --ssl requires";
    return false;
  }
  connected_ = true;
  lost_ = false;
  return true;
}

std::string ServerSession::ConnectError() {
  if (!handle_live_) return "cannot initialise the client library";
  if (!connect_problem_.empty()) return connect_problem_;
  return mysql_error(&mysql_);
}

bool ServerSession::SetUp(std::string* statement) {
  max_packet_ = kUnknownPacket;
  // The statements are escaped with backslashes, so the server must honour
  // them: otherwise a quote in a client string would end its literal and
  // the rest of the string would run as SQL. The whole mode is the tool's
  // own, whatever the server's: strict mode makes the server refuse a value
  // it would otherwise change (a character it cannot store, a text too
  // long, nan), and no other mode changes values, quoting or empty texts.
  // Engine substitution stays allowed (a server that enforces another
  // engine than the chosen one was refused before). Autocommit keeps every
  // applied row.
  static const char kSession[] =
      "SET SESSION sql_mode = 'STRICT_ALL_TABLES', SESSION autocommit = 1";
  if (!Query(kSession)) {
    *statement = kSession;
    return false;
  }
  // The character set is the session's too: a connection made again after
  // a loss must not fall back to the server's or init_connect's.
  if (mysql_set_character_set(&mysql_, "utf8") != 0) {
    KeepError();
    *statement = "SET NAMES utf8";
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
  batch_bytes_ = std::min<unsigned long long>(kBatchBytes, packet / 2);
  bulk_bytes_ = std::min<unsigned long long>(kBulkBytes, packet / 2);
  transaction_bytes_ = std::min<unsigned long long>(kTransactionBytes, packet / 2);
  return true;
}

std::string ServerSession::EngineProblem() {
  // A server without one of these (MySQL has none of the wsrep ones) does
  // not list it.
  if (!Query("SHOW SESSION VARIABLES WHERE Variable_name IN ('wsrep_on', 'wsrep_mode', "
             "'wsrep_replicate_myisam', 'enforce_storage_engine')"))
    return "";
  std::string wsrep_on, wsrep_mode, replicate_myisam, enforced;
  if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      if (!row[0] || !row[1]) continue;
      const std::string name = row[0];
      std::string* value = name == "wsrep_on"                 ? &wsrep_on
                           : name == "wsrep_mode"             ? &wsrep_mode
                           : name == "wsrep_replicate_myisam" ? &replicate_myisam
                                                              : &enforced;
      *value = row[1];
    }
    mysql_free_result(result);
  }
  const char* chosen = EngineName(options_.engine);
  if (!enforced.empty() && ::strcasecmp(enforced.c_str(), chosen) != 0) {
    return "the server enforces the " + enforced + " engine (enforce_storage_engine), not " +
           chosen + ": " +
           (::strcasecmp(enforced.c_str(), "InnoDB") == 0 ? "use --engine=InnoDB"
                                                          : "--engine takes MyISAM or InnoDB") +
           "; nothing was created";
  }
  if (options_.engine == Engine::kMyISAM && ::strcasecmp(wsrep_on.c_str(), "ON") == 0) {
    // With REPLICATE_MYISAM a cluster sends MyISAM statements as text: the
    // prepared inserts arrive without their values and are dropped.
    const bool myisam_too = wsrep_mode.find("REPLICATE_MYISAM") != std::string::npos ||
                            ::strcasecmp(replicate_myisam.c_str(), "ON") == 0;
    return std::string("the server is a node of a Galera cluster (wsrep_on), which replicates ") +
           (myisam_too ? "MyISAM rows unreliably (REPLICATE_MYISAM drops the tool's prepared "
                         "inserts)"
                       : "InnoDB rows only") +
           ": the other nodes would get empty tables; use --engine=InnoDB; nothing was created";
  }
  return "";
}

void ServerSession::Close() {
  if (!connected_) return;
  mysql_close(&mysql_);
  handle_live_ = false;
  connected_ = false;
}

void ServerSession::KeepError() {
  const unsigned error = mysql_errno(&mysql_);
  error_code_ = error;
  error_ = "ERROR " + std::to_string(error) + " (" + mysql_sqlstate(&mysql_) +
           "): " + mysql_error(&mysql_);
  // The connection is gone: the next table connects again.
  if (error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST || error == ER_NET_PACKET_TOO_LARGE)
    lost_ = true;
}

bool ServerSession::FitsInPacket(std::size_t length) {
  // The server drops the connection on a packet that reaches its limit:
  // a command byte and the statement must stay below max_allowed_packet.
  if (length + 1 < max_packet_) return true;
  error_code_ = 0;
  error_ = "the statement of " + std::to_string(length) +
           " bytes does not fit in the server's max_allowed_packet of " +
           std::to_string(max_packet_) + " bytes";
  return false;
}

bool ServerSession::Query(const char* text) {
  if (!FitsInPacket(std::strlen(text))) return false;
  if (mysql_query(&mysql_, text) == 0) return true;
  KeepError();
  return false;
}

bool ServerSession::Quietly(const std::string& sql) {
  if (!connected_) return false;
  if (mysql_query(&mysql_, sql.c_str()) == 0) return true;
  // A refusal leaves the error kept before as it was; a connection that
  // went is kept as the error, so that the next table connects again.
  const unsigned error = mysql_errno(&mysql_);
  if (error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST) KeepError();
  return false;
}

bool ServerSession::Value(const std::string& sql, std::string* value) {
  value->clear();
  if (!Query(sql.c_str())) return false;
  if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row && row[0]) *value = row[0];
    mysql_free_result(result);
  }
  return true;
}
