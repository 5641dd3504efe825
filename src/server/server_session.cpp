#include "server/server_session.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "port/console.h"
#include "port/interrupt.h"
#include "port/test_pause.h"

bool RefusesEveryStatement(unsigned code) {
  switch (code) {
    case ER_DBACCESS_DENIED_ERROR:                  // 1044
    case ER_ACCESS_DENIED_ERROR:                    // 1045
    case ER_UNKNOWN_COM_ERROR:                      // 1047: no quorum (Galera)
    case ER_NO_DB_ERROR:                            // 1046
    case ER_BAD_DB_ERROR:                           // 1049
    case ER_TABLEACCESS_DENIED_ERROR:               // 1142
    case ER_OPTION_PREVENTS_STATEMENT:              // 1290: --read-only
    case ER_CANT_EXECUTE_IN_READ_ONLY_TRANSACTION:  // 1792
      return true;
    default: return false;
  }
}

ServerSession::ServerSession(const ConnectOptions& options, const LoadOptions& load)
    : options_(options), load_(load) {
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
    previous_id_ = connected_ ? ThreadId() : 0;
    // A handle used before (a lost connection) is not used again.
    socket_.store(-1);
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
    // Connecting blocks and changes nothing: a signal ends it at once (but
    // for a side connection, made while the run goes on or stops).
    std::optional<EndAtOnce> at_once;
    if (watched_) at_once.emplace("while connecting");
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
  socket_.store(static_cast<int>(mysql_get_socket(&mysql_)));
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
  // A statement that waits for a lock (a reader's transaction holding the
  // table) gives up after --lock-wait, not the server's day.
  const std::string wait = std::to_string(load_.lock_wait_seconds);
  const std::string session =
      "SET SESSION sql_mode = 'STRICT_ALL_TABLES', SESSION autocommit = 1, "
      "SESSION lock_wait_timeout = " +
      wait + ", SESSION innodb_lock_wait_timeout = " + wait;
  if (!Query(session)) {
    *statement = session;
    return false;
  }
  // The character set is the session's too: a connection made again after
  // a loss must not fall back to the server's or init_connect's.
  const char* const charset = options_.utf8mb4 ? "utf8mb4" : "utf8";
  if (mysql_set_character_set(&mysql_, charset) != 0) {
    KeepError();
    *statement = std::string("SET NAMES ") + charset;
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
  transaction_rows_ = kTransactionRows;
  // A Galera cluster refuses a transaction past its writeset limits (0: no
  // limit on rows); elsewhere the variables are not there, or unused.
  if (Query("SHOW VARIABLES LIKE 'wsrep\\_max\\_ws\\_%'")) {
    if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
      while (MYSQL_ROW row = mysql_fetch_row(result)) {
        if (!row[0] || !row[1]) continue;
        const unsigned long long limit = std::strtoull(row[1], nullptr, 10);
        if (std::strcmp(row[0], "wsrep_max_ws_rows") == 0 && limit > 0)
          transaction_rows_ = std::min<unsigned long long>(transaction_rows_, limit);
        if (std::strcmp(row[0], "wsrep_max_ws_size") == 0 && limit > 0) {
          transaction_bytes_ = std::min<unsigned long long>(transaction_bytes_, limit / 2);
          bulk_bytes_ = std::min<unsigned long long>(bulk_bytes_, limit / 2);
        }
      }
      mysql_free_result(result);
    }
  }
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
  const char* chosen = EngineName(load_.engine);
  if (!enforced.empty() && ::strcasecmp(enforced.c_str(), chosen) != 0) {
    return "the server enforces the " + enforced + " engine (enforce_storage_engine), not " +
           chosen + ": " +
           (::strcasecmp(enforced.c_str(), "InnoDB") == 0 ? "use --engine=InnoDB"
                                                          : "--engine takes MyISAM or InnoDB") +
           "; nothing was created";
  }
  if (load_.engine == Engine::kMyISAM && ::strcasecmp(wsrep_on.c_str(), "ON") == 0) {
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
  socket_.store(-1);
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

bool ServerSession::UseDatabase(const std::string& database, std::string* why) {
  if (mysql_select_db(&mysql_, database.c_str()) == 0) return true;
  *why = "cannot select database " + database + ": " + mysql_error(&mysql_);
  KeepError();
  return false;
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

bool ServerSession::Query(const char* text, const std::string& what) {
  const std::size_t length = std::strlen(text);
  if (!FitsInPacket(length)) return false;
  if (mysql_send_query(&mysql_, text, static_cast<unsigned long>(length)) == 0) {
    if (watched_) AwaitAnswer(text, what);
    if (mysql_read_query_result(&mysql_) == 0) return true;
  }
  KeepError();
  return false;
}

void ServerSession::AwaitAnswer(const char* text, const std::string& what) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  pollfd answer = {static_cast<int>(mysql_get_socket(&mysql_)), POLLIN, 0};
  bool looked = false, said = false, ended = false;
  for (;;) {
    // A signal cuts the poll short (EINTR): it is looked at below.
    const int ready = ::poll(&answer, 1, 100);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    if (PendingInterrupt() && !ended) {
      // The run is asked to stop: the statement is ended rather than
      // waited for; its connection stays.
      ended = true;
      WaitState(nullptr);
      // A server that does not take the KILL (a stopped one) will not
      // answer the statement either: the connection is cut.
      if (!side_ || !side_->Quietly("KILL QUERY " + std::to_string(ThreadId()))) {
        CutConnection();
        return;
      }
    }
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (ended || said || waited < 2 || (looked && waited < 10)) continue;
    std::string name = what;
    if (name.empty()) {
      // Its first words, up to a parenthesis or a line's end, whole.
      std::string_view statement = text;
      statement = statement.substr(0, statement.find_first_of("(\n"));
      if (statement.size() > 48) statement = statement.substr(0, statement.rfind(' ', 48));
      while (!statement.empty() && statement.back() == ' ') statement.remove_suffix(1);
      name = "the statement " + std::string(statement);
    }
    bool on_lock = false;
    const std::string state = WaitState(&on_lock);
    if (on_lock) {
      Warn(name + " waits for " + state + " (at most " + std::to_string(load_.lock_wait_seconds) +
           " s, --lock-wait)");
      said = true;
    } else if (waited >= 10) {
      Warn(name + " has run for 10 s; " +
           (!side_ || side_->lost() ? NotAnswering()
                                    : "the server's state of it: " +
                                          (state.empty() ? "unknown" : "\"" + state + "\"")));
      said = true;
    }
    looked = true;
    if (said) TestPause("wait-said");
  }
}

std::unique_ptr<ServerSession> SideSession(const ServerSession& session) {
  auto side = std::make_unique<ServerSession>(session.options(), session.load());
  side->watched_ = false;
  // A look from the side never holds the run: a server that does not
  // answer it within a second is taken to be stopped.
  const unsigned int quick = ServerSession::kSideSeconds;
  for (const mysql_option option :
       {MYSQL_OPT_CONNECT_TIMEOUT, MYSQL_OPT_READ_TIMEOUT, MYSQL_OPT_WRITE_TIMEOUT})
    mysql_options(&side->mysql_, option, &quick);
  if (!side->OpenLike(session)) return nullptr;
  return side;
}

void ServerSession::CutConnection() {
  // (Called from the watch's thread: the socket is read from its copy.)
  if (const int fd = socket_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

std::string ServerSession::NotAnswering() {
  return "the server does not answer another connection within " + std::to_string(kSideSeconds) +
         " s either: it may be stopped";
}

std::string ServerSession::WaitState(bool* on_lock) {
  if (side_ && side_->lost()) side_.reset();
  if (!side_) side_ = SideSession(*this);
  if (!side_ || !on_lock) return "";
  return DescribeWait(*side_, ThreadId(), on_lock);
}

std::string DescribeWait(ServerSession& side, unsigned long connection, bool* on_lock) {
  const std::string id = std::to_string(connection);
  std::string state, holders;
  side.Value("SELECT STATE FROM information_schema.PROCESSLIST WHERE ID = " + id, &state);
  // A row lock of InnoDB names the transaction holding it.
  side.Value(
      "SELECT GROUP_CONCAT(DISTINCT b.trx_mysql_thread_id) FROM "
      "information_schema.INNODB_LOCK_WAITS w JOIN information_schema.INNODB_TRX b ON "
      "b.trx_id = w.blocking_trx_id JOIN information_schema.INNODB_TRX r ON r.trx_id = "
      "w.requesting_trx_id WHERE r.trx_mysql_thread_id = " +
          id,
      &holders);
  if (!holders.empty()) {
    *on_lock = true;
    return "a row lock held by connection " + holders;
  }
  *on_lock = state.find("lock") != std::string::npos || state == "Locked";
  if (!*on_lock) return state;
  // A table's lock: the server names its holders only with the
  // METADATA_LOCK_INFO plugin; otherwise the connections in a transaction
  // or holding table locks are the candidates (InnoDB's own transactions,
  // of no connection, are not).
  if (!side.Value("SELECT GROUP_CONCAT(DISTINCT THREAD_ID) FROM "
                  "information_schema.METADATA_LOCK_INFO WHERE THREAD_ID <> " +
                      id,
                  &holders) ||
      holders.empty()) {
    side.Value(
        "SELECT GROUP_CONCAT(trx_mysql_thread_id) FROM information_schema.INNODB_TRX "
        "WHERE trx_mysql_thread_id NOT IN (0, " +
            id + ")",
        &holders);
    if (holders.empty()) return "\"" + state + "\"";
    return "\"" + state + "\" (connections in a transaction: " + holders + ")";
  }
  return "\"" + state + "\" held by connection " + holders;
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

bool ServerSession::UseCharacterSet(const char* name) {
  if (!connected_) return false;
  const char* const charset = name ? name : options_.utf8mb4 ? "utf8mb4" : "utf8";
  if (mysql_set_character_set(&mysql_, charset) == 0) return true;
  KeepError();
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
