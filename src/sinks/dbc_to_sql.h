// The MySQL server sink: executes every statement on a server through the
// MySQL client library. Connect() selects the target database, creating it
// when it cannot be selected. It holds one ServerSession (the connection and
// its set-up) and the ServerRows that send a table's rows through it.
#pragma once

#include <memory>
#include <string>

#include "dbc/dbcfile.h"
#include "server/run_lock.h"
#include "server/server_rows.h"
#include "server/server_session.h"

class dbcToSQL : public DBCFile {
 public:
  // `run_id`: that of the run's first connection, for another one.
  explicit dbcToSQL(const ConnectOptions& options = {}, const LoadOptions& load = {},
                    const std::string& run_id = "");
  ~dbcToSQL() override;

  bool Connect(const char* host, const char* user, const char* password, const char* database,
               int port);
  // Another connection of the same run, for tables loaded at the same time:
  // the same server, user, session, database and run id. It prints nothing
  // of its own (no "Connecting", no "Disconnect") and does not hold the
  // database's lock, which this one holds for the run. Null, with the
  // reason, when it cannot be made.
  std::unique_ptr<dbcToSQL> Sibling(std::string* why);

  bool Write(const char* text) override;
  void Close() override;
  // Connects again, once, when the connection was lost during the last
  // table; false when that fails.
  bool Ready() override;
  bool OutputGone() const override { return gone_; }
  std::string ConnectionName() const override;
  // Names the table left partial, if any.
  std::string Abandon(bool new_output_too) override;

 protected:
  // The server's words; a text a utf8 column refused names --utf8mb4.
  std::string RefusalReason() const override;
  unsigned RefusalCode() const override { return session_.ErrorCode(); }
  bool RefusedForGood() const override { return RefusesEveryStatement(session_.ErrorCode()); }

 private:
  // The session set-up and the run's lock, on every connection; false,
  // counted, when refused. `first_connect`: the run's first connection takes
  // the lock; any other, and any connection made again, keeps it.
  bool SetUpSession(bool first_connect);

  ServerSession session_;
  ServerRows rows_;
  std::string database_;
  bool connected_ = false;
  bool gone_ = false;              // lost, and not made again
  bool first_ = true;              // the run's first connection: it prints, and takes the lock
  std::shared_ptr<RunLock> lock_;  // shared by the run's connections
  std::shared_ptr<StatementWatch> watch_ = std::make_shared<StatementWatch>();  // likewise
  unsigned slot_ = 0;       // this connection's number in the run
  unsigned next_slot_ = 1;  // the first connection's count of siblings made
  bool slot_held_ = false;  // this connection holds its slot's lock
};
