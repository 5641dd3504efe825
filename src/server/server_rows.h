// How a table's rows go to the server through one ServerSession: arrays of
// one prepared insert (BulkInsert) into a table this run created, otherwise
// multi-statement batches under a write lock on the table; both load many
// times faster than one query per row. What the user sees is exactly what
// one query per row gives: rows are counted only once the server has
// applied them, and a failing row stops the table with that row's own
// statement in the error message; the server executes nothing after it.
//
// InnoDB tables get no lock, and their rows go in transactions of bounded
// size (see sql/engine.h): each array is one, and so is each batch, so that
// a refused row rolls back the rows of its own transaction only, and the
// rows counted are the rows committed.
//
// With --atomic each table is loaded into a staging table of its own name,
// "__new_" and the run's id, which carries the tool's mark (a comment), and
// swapped in with one RENAME once complete; the old table is dropped then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "port/program.h"
#include "port/text_buffer.h"
#include "server/bulk_insert.h"
#include "server/server_session.h"
#include "server/statement_watch.h"
#include "server/table_record.h"
#include "sql/row_output.h"

class StatementBuilder;

// A new run's id: eight hex digits that no other run is likely to have.
std::string NewRunId();

class ServerRows : public RowOutput {
 public:
  // `run_id`: the run's id, shared by its connections (empty: a new one).
  ServerRows(ServerSession& session, bool atomic, const std::string& run_id = "");
  const std::string& run_id() const { return run_id_; }
  ~ServerRows() override;

  void BeginRows(const LoadedTable& table, StatementBuilder& builder, bool new_table) override;
  RowsSent SendRows(std::uint32_t first) override;
  std::uint32_t StopRows() override;
  bool EndTable(const LoadedTable& table, StatementBuilder& builder, bool complete,
                TableEnd* end) override;
  // The record's plan; a table whose record keeps it in utf8mb4 is loaded
  // through a utf8mb4 connection.
  TablePlan BeforeTable(const LoadedTable& table, const std::string& name) override;
  bool LiveChecksum() const override { return true; }
  // Whether the table's texts go into utf8mb4 columns.
  bool Utf8mb4Table() const { return wide_connection_ || session_.options().utf8mb4; }
  const char* StagingSuffix() const override { return staging_suffix_.c_str(); }
  const char* StagingMark() const override { return staging_mark_.c_str(); }

  // Drops the staging and retired tables that runs killed before their end
  // left behind: only tables that carry the tool's mark. Called with the
  // database's lock held.
  void DropLeftovers();
  // Drops the staging table that a lost connection left (with --atomic):
  // that of the table it cut; called once the connection is made again.
  void DropStagingLeft();
  // Lets go of what belongs to the connection (the prepared insert, the
  // table lock), before it is closed or made again.
  void Release();
  // The watch over the rows in flight (null: none); it must outlive them.
  // The watch of the run's rows, which also knows the connection for as
  // long as this output lives (see StatementWatch::Attach).
  void SetWatch(StatementWatch* watch);
  // No more rows are sent: a staging table could not be dropped, so none
  // could be cleaned away either.
  void Refuse() { refused_ = true; }
  bool refused() const { return refused_; }

  // Limit of one batch of rows.
  static constexpr std::size_t kBatchRows = 200;
  // How often a transaction of rows refused for a deadlock or a cluster's
  // conflict (ERROR 1213) goes again.
  static constexpr int kRetries = 5;

 private:
  // Drops the staging table `staging` (quoted) of a table that is not
  // swapped in; one that cannot be dropped is said, or left to be dropped
  // once the lost connection is made again.
  void DropStaging(const std::string& staging);
  // A batch of rows: their statements back to back, and where each starts.
  struct Batch {
    TextBuffer text;
    std::vector<std::size_t> starts;
    bool too_large = false;    // a row larger than the server's packet limit
    bool transaction = false;  // the rows are between START TRANSACTION and COMMIT
  };
  // One array of rows of the table's prepared insert. On failure, counts
  // the rows the server kept and leaves the rest to the batches.
  // SendRows() but for the record's count of the rows the server kept.
  RowsSent SendSomeRows(std::uint32_t first);
  RowsSent SendBulk(std::uint32_t first);
  // Fills `batch` with rows from `next` on, up to the limits; returns the
  // row after the last one taken.
  std::uint32_t FillBatch(Batch& batch, std::uint32_t next);
  // Sends a batch as one query; false if it could not be sent.
  bool SendBatch(Batch& batch);
  // Reads one result per statement of the batch sent last. Returns how many
  // rows the server applied (a transaction's: committed); *failed tells
  // whether one failed, and *failed_row which, counted from the batch's
  // first row.
  std::size_t ReadBatch(const Batch& batch, bool sent, bool* failed, std::size_t* failed_row);
  // Write lock on the table's SQL table for its rows; false when refused.
  bool LockTable();
  void Unlock();
  // Whether the table's SQL table was created with MyISAM.
  bool TableIsMyISAM();
  // Runs the swap of --atomic, saying so when it waits on readers.
  bool Swap(const std::string& sql);

  // The comment of a staging table: "vesk-dbc2sql run <id>".
  static inline const std::string kMark = RunMark();

  ServerSession& session_;
  const bool atomic_;
  const bool innodb_;
  std::string run_id_;  // 8 hex digits, unique to the run
  // The connection was made utf8mb4 for a table recorded so, in a utf8 run.
  bool wide_connection_ = false;
  std::string staging_suffix_;  // "__new_<id>" with --atomic, else ""
  std::string staging_mark_;    // "vesk-dbc2sql run <id>" with --atomic
  RecordKeeper records_;        // what each table was loaded from
  const LoadedTable* table_ = nullptr;
  StatementBuilder* builder_ = nullptr;

  // While the server applies one batch, the next one is built.
  Batch batches_[2];
  int current_ = 0;         // the batch the server works on
  std::uint32_t next_ = 0;  // the first row not yet in a batch
  bool sent_ = false;       // whether the current batch was sent
  bool in_flight_ = false;  // a batch was sent and its results not read
  bool locked_ = false;     // whether the table is locked
  bool batching_ = false;   // whether the table's batches have started
  BulkInsert bulk_;
  bool bulk_active_ = false;
  bool refused_ = false;
  StatementWatch* watch_ = nullptr;
  // A staging table whose drop the lost connection prevented.
  std::string staging_left_;
};
