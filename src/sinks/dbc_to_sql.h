// The MySQL server sink: executes every statement on a server through the
// MySQL client library. Connect() selects the target database, creating it
// when it cannot be selected.
//
// A table's rows go to the server as arrays of one prepared insert when the
// table was created by this run (see BulkInsert), otherwise in
// multi-statement batches under a write lock on the table; both load many
// times faster than one query per row. What the user sees is exactly what
// one query per row gives: rows are counted on the progress bar only once
// the server has applied them, and a failing row stops the table with that
// row's own statement in the error message; the server executes nothing
// after it.
#pragma once

#include <mysql.h>

#include <cstddef>
#include <string>
#include <vector>

#include "dbc/dbcfile.h"
#include "sinks/bulk_insert.h"

// How to reach the server beyond the host, user, password and port given
// to Connect(); all of it through the client library's own options.
struct ConnectOptions {
  const char* socket = nullptr;
  bool ssl = false;  // TLS required
  const char* ssl_ca = nullptr;
  const char* ssl_cert = nullptr;
  const char* ssl_key = nullptr;
  bool ssl_verify_server_cert = false;
  unsigned timeout_seconds = 20;  // how long connecting may wait
  // How long to wait for another run of the tool on the same database.
  unsigned lock_wait_seconds = 60;
  // Each table is loaded into a staging table and swapped in whole.
  bool atomic = false;
};

class dbcToSQL : public DBCFile {
 public:
  explicit dbcToSQL(const ConnectOptions& options = {});
  ~dbcToSQL() override;

  bool Connect(const char* host, const char* user, const char* password, const char* database,
               int port);

  bool Write(const char* text) override;
  void Close() override;
  // Connects again, once, when the connection was lost during the last
  // table; false when that fails.
  bool Ready() override;
  // Names the table left partial, if any.
  std::string Abandon(bool new_output_too) override;

  // Limits of one batch of rows (the byte limit is lowered further to fit
  // the server's max_allowed_packet).
  static constexpr std::size_t kBatchRows = 200;
  static constexpr std::size_t kBatchBytes = 1 << 20;
  // Limit of one array of rows of the prepared insert.
  static constexpr std::size_t kBulkBytes = 4 << 20;

 protected:
  // Each call applies one array of the prepared insert, or one batch (and
  // sends the next batch before returning).
  void BeginRows() override;
  RowsSent SendRows(std::uint32_t first) override;
  std::uint32_t StopRows() override;
  void EndTable(bool complete) override;
  const char* StagingSuffix() const override { return staging_suffix_.c_str(); }
  const char* StagingMark() const override { return staging_mark_.c_str(); }
  std::string RefusalReason() const override;
  unsigned RefusalCode() const override { return server_errno_; }

 private:
  // One array of rows of the table's prepared insert. On failure, counts
  // the rows the server kept and leaves the rest to the batches.
  RowsSent SendBulk(std::uint32_t first);
  // Write lock on the loaded table's SQL table for its rows; false when
  // refused.
  bool LockTable();
  void Unlock();
  // Whether the loaded table's SQL table was created with MyISAM.
  bool TableIsMyISAM();
  // Runs a query and takes the first value of its result (empty when it
  // has none); false, with the error kept, when the query failed.
  bool Value(const std::string& sql, std::string* value);
  // A batch of rows: their statements back to back, and where each starts.
  struct Batch {
    TextBuffer text;
    std::vector<std::size_t> starts;
    bool too_large = false;  // a row larger than the server's packet limit
  };
  // Fills `batch` with rows from `next` on, up to the limits; returns the
  // row after the last one taken.
  std::uint32_t FillBatch(Batch& batch, std::uint32_t next);
  // Sends a batch as one query; false if it could not be sent.
  bool SendBatch(Batch& batch);
  // Reads one result per row of the batch sent last. Returns how many rows
  // the server applied; *failed tells whether a row failed (the one after
  // those applied).
  std::size_t ReadBatch(bool sent, bool* failed);
  // Puts the session into the state the statements rely on: backslash
  // escapes honoured, strict mode, autocommit. False, reported, if refused.
  bool PrepareSession();
  // A fresh handle with the connection options set; false when the
  // library cannot make one.
  bool InitHandle();
  // Connects with the options given to Connect().
  bool RealConnect();
  // Why connecting failed.
  std::string ConnectError();
  // The session and the limits of a new connection; false, counted, when
  // the server refuses the session settings.
  bool SetUpSession();
  // Whether a statement of `length` bytes fits in the server's packet
  // limit; otherwise keeps the reason for RefusalReason().
  bool FitsInPacket(std::size_t length);
  // Runs one statement; on failure keeps the server's error for
  // RefusalReason().
  bool Query(const char* text);
  // Keeps the server's error number, state and text of the last failure.
  void KeepServerError();
  // Runs an auxiliary statement (lock, unlock); no message on failure.
  bool Quietly(const char* sql);
  // Takes the named lock of the database for this run, waiting for another
  // run that holds it; false, counted, when it cannot be had.
  bool LockDatabase();
  // Drops the staging and retired tables that runs killed before their end
  // left behind: only tables that carry the tool's mark.
  void DropLeftovers();
  // Runs the swap of --atomic, saying so when it waits on readers.
  bool Swap(const std::string& sql);

  // The staging table of --atomic ends in "__new_" and the run's id, and
  // the old table takes a name ending in "__old_" and the id while the
  // staging table is swapped in; tables the tool makes carry a comment
  // that starts with kMark.
  static constexpr char kStaging[] = "__new_";
  static constexpr char kRetired[] = "__old_";
  static constexpr char kMark[] = "vesk-dbc2sql run ";

  // A packet limit that no statement reaches, until the server's is known.
  static constexpr std::size_t kUnknownPacket = std::size_t{1} << 40;

  MYSQL mysql_;
  ConnectOptions options_;
  std::string database_;
  const char* host_ = nullptr;  // null ones come from the option file
  const char* user_ = nullptr;
  std::string password_;
  bool has_password_ = false;
  std::string connect_problem_;  // why connecting failed, where the library cannot say
  int port_ = 0;
  bool connected_ = false;
  bool lost_ = false;  // the connection went away; Ready() connects again
  std::size_t max_packet_ = kUnknownPacket;
  bool handle_live_ = false;  // mysql_init() done, mysql_close() not yet
  bool multi_statements_ = false;
  std::size_t batch_bytes_limit_ = kBatchBytes;
  std::size_t bulk_bytes_limit_ = kBulkBytes;

  // While the server applies one batch, the next one is built.
  Batch batches_[2];
  int current_ = 0;         // the batch the server works on
  std::uint32_t next_ = 0;  // the first row not yet in a batch
  bool sent_ = false;       // whether the current batch was sent
  bool in_flight_ = false;  // a batch was sent and its results not read
  bool locked_ = false;     // whether the table is locked
  bool batching_ = false;   // whether the table's batches have started
  std::string server_error_;
  unsigned server_errno_ = 0;
  std::string run_id_;          // 8 hex digits, unique to the run
  std::string staging_suffix_;  // "__new_<id>" with --atomic, else ""
  std::string staging_mark_;    // "vesk-dbc2sql run <id>" with --atomic
  bool stopping_ = false;       // a staging table could not be dropped: end the run
  BulkInsert bulk_;
  bool bulk_active_ = false;
};
