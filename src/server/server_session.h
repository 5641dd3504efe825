// One connection to a MySQL or MariaDB server, set up the same way every
// time it is made: the client library's connection and TLS options, the
// session the statements rely on (strict mode, backslash escapes,
// autocommit, utf8) and the server's packet limit. It runs statements and keeps
// the server's error of the last one that failed; it prints nothing. The
// rows of a table go through it (ServerRows); another session for another
// table is another object.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "sql/engine.h"

// How to reach the server beyond the host, user, password and port; all of
// it through the client library's own options.
struct ConnectOptions {
  const char* socket = nullptr;
  bool ssl = false;  // TLS required
  const char* ssl_ca = nullptr;
  const char* ssl_cert = nullptr;
  const char* ssl_key = nullptr;
  bool ssl_verify_server_cert = false;
  unsigned timeout_seconds = 20;  // how long connecting may wait
  // The connection's character set is utf8mb4, not utf8.
  bool utf8mb4 = false;
};

class LoadedTable;
class ServerSession;

// How a run loads its tables through a session, and how long it waits.
struct LoadOptions {
  // Each table is loaded into a staging table and swapped in whole.
  bool atomic = false;
  // The engine of the tables created.
  Engine engine = Engine::kMyISAM;
  // How long to wait for another run of the tool on the same database, and
  // for a lock of the server.
  unsigned lock_wait_seconds = 60;
  // A table changed on the server since the tool loaded it is replaced
  // too; a table whose record matches the client's is left as it is.
  bool replace_edited = false;
  bool skip_unchanged = false;
  // Each table's texts come from the slot that holds them (-l auto): a
  // record's slot is no reason to keep a table.
  bool auto_locale = false;
  // The run's text columns are utf8mb4 (a table recorded in utf8mb4 is
  // loaded so without it).
  bool utf8mb4 = false;
  // Whether the session's SQL table of `table` holds exactly the rows its
  // client file exports. A table whose checksum left its record may hold
  // them all the same: the client was patched from the database, or an
  // edit was undone. Given by the layer that compares rows; without it
  // such a table counts as edited.
  std::function<bool(ServerSession& session, const LoadedTable& table)> same_as_client;
};

// Whether the server's error `code` would refuse every statement of the run
// alike: no right to the database or to create or drop its tables (1142
// names the command, but none the tool sends is granted apart), no
// database, a read-only server, a cluster node out of its quorum.
bool RefusesEveryStatement(unsigned code);

class ServerSession;

// A second connection to the server, as the user, `session` connected to,
// for looking at and ending its statements; none of its own statements is
// watched. Null when it cannot be made.
std::unique_ptr<ServerSession> SideSession(const ServerSession& session);

// The server's state of the statement of connection `id`, read through
// `side`, and who holds the lock it waits for where the server tells;
// *on_lock says whether it waits for a lock.
std::string DescribeWait(ServerSession& side, unsigned long id, bool* on_lock);

class ServerSession {
 public:
  explicit ServerSession(const ConnectOptions& options, const LoadOptions& load = {});
  ~ServerSession();
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  const ConnectOptions& options() const { return options_; }
  const LoadOptions& load() const { return load_; }

  // Connects; false, with the reason in ConnectError().
  bool Open(const char* host, const char* user, const char* password, int port);
  // Connects again with the same settings (after a loss).
  bool Reopen();
  // Connects to the server, as the user, `other` connected to.
  bool OpenLike(const ServerSession& other);
  std::string ConnectError();
  // The session the statements rely on. False when the server refuses it,
  // with the statement it refused in *statement and the reason in Error().
  bool SetUp(std::string* statement);
  // Why tables of the chosen engine would not be stored as the run stores
  // them on this server (one that replicates only another engine's rows, or
  // enforces another engine); empty when they would.
  std::string EngineProblem();
  void Close();
  bool connected() const { return connected_; }
  // Whether the connection went away (the next table connects again).
  bool lost() const { return lost_; }
  MYSQL* handle() { return &mysql_; }
  // The server's id of the connection (for KILL).
  unsigned long ThreadId() const { return mysql_thread_id(const_cast<MYSQL*>(&mysql_)); }
  // The id of the connection that Reopen() replaced, or 0: the server may
  // not have ended it yet, and its locks with it.
  unsigned long PreviousThreadId() const { return previous_id_; }

  // Runs one statement; on failure keeps the server's error. While the
  // server has not answered, the wait is watched: after 2 s a wait for a
  // lock is said on standard error (what it waits for, and who holds it
  // where the server tells), after 10 s a statement still running is said
  // with the server's state of it, and a signal that asks the run to stop
  // ends the statement (KILL QUERY from a side connection), which then
  // fails with ER_QUERY_INTERRUPTED (on a server that does not answer, the
  // run's watch cuts the connection: see StatementWatch). `what` names the
  // statement in those
  // lines (by default, its first words).
  bool Query(const char* text, const std::string& what = "");
  bool Query(const std::string& text) { return Query(text.c_str()); }
  // Runs a query and takes the first value of its result (empty when it
  // has none); false, with the error kept, when the query failed.
  bool Value(const std::string& sql, std::string* value);
  // Runs an auxiliary statement (lock, unlock, drop); keeps no error but
  // a lost connection.
  bool Quietly(const std::string& sql);
  // Sets the connection's character set ("utf8mb4", or the run's again
  // with null) for the statements that follow; false when refused.
  bool UseCharacterSet(const char* name);
  // Whether a statement of `length` bytes fits in the server's packet
  // limit; otherwise keeps the reason as the error.
  bool FitsInPacket(std::size_t length);
  // Keeps the server's error number, state and text of the last failure.
  void KeepError();
  // The connection's socket, -1 when it is not connected.
  int Socket() const { return socket_.load(); }
  // Makes `database` the session's; false, with *why ("cannot select
  // database world: Access denied ...") and the error kept.
  bool UseDatabase(const std::string& database, std::string* why);
  const std::string& Error() const { return error_; }
  unsigned ErrorCode() const { return error_code_; }

  // Whether the session takes several statements in one query, and the
  // bytes a batch of statements and an array of rows may hold.
  bool multi_statements() const { return multi_statements_; }
  std::size_t batch_bytes() const { return batch_bytes_; }
  std::size_t bulk_bytes() const { return bulk_bytes_; }
  // The bytes and rows of one transaction of rows (InnoDB), within the
  // packet limit and a Galera cluster's writeset limits.
  std::size_t transaction_bytes() const { return transaction_bytes_; }
  std::size_t transaction_rows() const { return transaction_rows_; }

  // Limits of one batch of rows and of one array of the prepared insert
  // (both lowered further to fit the server's max_allowed_packet).
  static constexpr std::size_t kBatchBytes = 1 << 20;
  static constexpr std::size_t kBulkBytes = 4 << 20;
  // How long a side connection (a look at the server, KILL QUERY) waits
  // for the server: one that does not answer in that time is stopped.
  static constexpr unsigned kSideSeconds = 1;

  // Shuts the connection's socket down: a statement or rows blocked on a
  // server that does not answer end at once, as a lost connection.
  void CutConnection();
  // The end of a line about a statement in flight when the server does not
  // answer a side connection either.
  static std::string NotAnswering();

 private:
  friend std::unique_ptr<ServerSession> SideSession(const ServerSession& session);

  // A fresh handle with the connection options set.
  bool InitHandle();
  // Waits until the server's answer to the statement sent can be read,
  // watching the wait (see Query()).
  // `what` names the statement in a line (empty: its first words).
  void AwaitAnswer(const char* text, const std::string& what);
  // The server's state of this connection's statement, and who holds the
  // lock it waits for where the server tells; read through the side
  // connection (made when first needed). Empty when it cannot be read.
  std::string WaitState(bool* on_lock);

  // A packet limit that no statement reaches, until the server's is known.
  static constexpr std::size_t kUnknownPacket = std::size_t{1} << 40;

  MYSQL mysql_;
  ConnectOptions options_;
  LoadOptions load_;
  const char* host_ = nullptr;  // null ones come from the library's defaults
  const char* user_ = nullptr;
  std::string password_;
  bool has_password_ = false;
  int port_ = 0;
  bool handle_live_ = false;  // mysql_init() done, mysql_close() not yet
  bool connected_ = false;
  bool lost_ = false;
  unsigned long previous_id_ = 0;
  std::string connect_problem_;  // why connecting failed, where the library cannot say
  std::size_t max_packet_ = kUnknownPacket;
  bool multi_statements_ = false;
  std::size_t batch_bytes_ = kBatchBytes;
  std::size_t bulk_bytes_ = kBulkBytes;
  std::size_t transaction_bytes_ = kTransactionBytes;
  std::size_t transaction_rows_ = kTransactionRows;
  std::string error_;
  unsigned error_code_ = 0;
  // The connection that reads the state of a wait and ends it; none is
  // watched on it.
  std::unique_ptr<ServerSession> side_;
  std::atomic<int> socket_{-1};  // the connection's socket, for CutConnection()
  bool watched_ = true;
};
