#include "server/server_rows.h"

#include <mysqld_error.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "dbc/loaded_table.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "server/batch_count.h"
#include "server/table_names.h"
#include "sql/statement_builder.h"

namespace {}  // namespace

std::string NewRunId() {
  std::uint32_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
    bits = static_cast<std::uint32_t>(::getpid()) * 2654435761u ^
           static_cast<std::uint32_t>(std::time(nullptr));
  char id[9];
  std::snprintf(id, sizeof id, "%08x", bits);
  return id;
}

ServerRows::ServerRows(ServerSession& session, bool atomic, const std::string& run_id)
    : session_(session),
      atomic_(atomic),
      innodb_(session.load().engine == Engine::kInnoDB),
      run_id_(run_id.empty() ? NewRunId() : run_id),
      records_(session, run_id_) {
  if (atomic_) {
    staging_suffix_ = std::string(kStagingEnding) + run_id_;
    staging_mark_ = kMark + run_id_;
  }
}

ServerRows::~ServerRows() {
  if (watch_) watch_->Detach(session_);
  Release();
}

void ServerRows::SetWatch(StatementWatch* watch) {
  if (watch_) watch_->Detach(session_);
  watch_ = watch;
  if (watch_) watch_->Attach(session_);
}

void ServerRows::Release() {
  bulk_.Close();
  bulk_active_ = false;
  batching_ = false;
  in_flight_ = false;
  locked_ = false;  // a lock goes with its connection
}

std::uint32_t ServerRows::FillBatch(Batch& batch, std::uint32_t next) {
  static constexpr char kBegin[] = "START TRANSACTION;";
  batch.text.Clear();
  batch.starts.clear();
  batch.transaction = innodb_;
  if (innodb_) batch.text.Append(kBegin);
  const std::uint32_t rows = table_->RecordCount();
  const std::size_t max_rows = innodb_ ? session_.transaction_rows() : kBatchRows;
  const std::size_t max_bytes = innodb_ ? session_.transaction_bytes() : session_.batch_bytes();
  while (next < rows && batch.starts.size() < max_rows) {
    const char* insert = builder_->BuildInsert(next);
    const std::size_t length = builder_->Length();
    // A row larger than the byte limit goes alone.
    if (!batch.starts.empty() && batch.text.size() + length > max_bytes) break;
    batch.starts.push_back(batch.text.size());
    batch.text.Append(insert, length);
    ++next;
  }
  if (innodb_) batch.text.Append("COMMIT");
  return next;
}

bool ServerRows::SendBatch(Batch& batch) {
  const char* text = batch.text.CStr();
  const auto length = static_cast<unsigned long>(batch.text.size());
  // A row too large for the server is alone in its batch; it is refused
  // here, so that the connection stays up.
  batch.too_large = !session_.FitsInPacket(length);
  if (batch.too_large) return false;
  in_flight_ = mysql_send_query(session_.handle(), text, length) == 0;
  return in_flight_;
}

std::size_t ServerRows::ReadBatch(const Batch& batch, bool sent, bool* failed,
                                  std::size_t* failed_row) {
  *failed = true;
  *failed_row = 0;
  if (!sent) return 0;
  in_flight_ = false;
  MYSQL* const mysql = session_.handle();
  std::size_t applied = 0;  // statements, a transaction's first one included
  const WatchedRows watched(watch_, session_, table_->Descriptor()->table_name);
  if (mysql_read_query_result(mysql) == 0) {
    for (;;) {
      if (MYSQL_RES* result = mysql_store_result(mysql)) mysql_free_result(result);
      ++applied;
      const int next = mysql_next_result(mysql);
      if (next > 0) break;  // the statement after `applied` failed
      if (next < 0) {       // no more results
        *failed = false;
        break;
      }
    }
  }
  if (*failed) session_.KeepError();
  // The server ran nothing after the failing statement: a transaction is
  // open, and its rows go with it.
  if (batch.transaction && *failed) session_.Quietly("ROLLBACK");
  const BatchCount count = CountBatch(applied, batch.starts.size(), batch.transaction, *failed);
  *failed_row = count.failed_row;
  return count.applied;
}

void ServerRows::BeginRows(const LoadedTable& table, StatementBuilder& builder, bool new_table) {
  table_ = &table;
  builder_ = &builder;
  Unlock();  // a lock the rows of an earlier table kept
  // Rows into a table created by this run go as arrays of a prepared
  // insert where the server and the library can; otherwise in batches.
  // (An array is one transaction of InnoDB: a cluster that takes fewer
  // rows in one gets batches.)
  bulk_active_ =
      session_.connected() && new_table &&
      (innodb_ ? session_.transaction_rows() >= BulkInsert::kArrayRows : TableIsMyISAM()) &&
      bulk_.Prepare(session_.handle(), table, builder.SqlName(), session_.bulk_bytes());
  batching_ = false;
  // Under a write lock MyISAM writes its index blocks once, at the end,
  // not after every statement. (Secondary keys disabled during the rows and
  // enabled after them were measured slower: ENABLE KEYS rebuilds Spell's 20
  // keys by sorting in 4.0 s, where its whole load with them takes 1.9 s.)
  if (bulk_active_ && !innodb_) locked_ = LockTable();
}

RowOutput::RowsSent ServerRows::SendRows(std::uint32_t first) {
  const RowsSent sent = SendSomeRows(first);
  records_.Sent(first, sent.applied);
  return sent;
}

RowOutput::RowsSent ServerRows::SendSomeRows(std::uint32_t first) {
  if (!session_.connected() || refused_) return {.stopped = true};
  if (bulk_active_) {
    const RowsSent sent = SendBulk(first);
    if (sent.applied > 0 || sent.stopped) return sent;
    // The array failed at its first row: the rows go on as statements,
    // which stop at the failing row with its own reason.
  }
  const std::uint32_t rows = table_->RecordCount();
  if (!session_.multi_statements() || session_.batch_bytes() == 0 || rows < 2) {
    if (session_.Query(builder_->BuildInsert(first))) return {.applied = 1};
    return {.stopped = true, .refused = true};
  }
  if (!batching_) {
    // The table's first batch: lock the table (if the arrays have not) and
    // send it.
    batching_ = true;
    if (!locked_ && !innodb_) locked_ = LockTable();
    current_ = 0;
    next_ = FillBatch(batches_[0], first);
    sent_ = SendBatch(batches_[0]);
  }
  // Build the following batch while the server works on this one; it is
  // sent only if this one succeeds.
  Batch& batch = batches_[current_];
  Batch& following = batches_[1 - current_];
  const std::uint32_t after = next_ < rows ? FillBatch(following, next_) : next_;
  bool failed = false;
  std::size_t failed_row = 0;
  auto applied = static_cast<std::uint32_t>(ReadBatch(batch, sent_, &failed, &failed_row));
  // A transaction chosen as a deadlock's victim, or one a Galera cluster
  // refused for a writer on another node (both 1213), was rolled back
  // whole: it goes again, a few times, after a growing pause.
  for (int attempt = 1;
       failed && sent_ && batch.transaction && session_.ErrorCode() == ER_LOCK_DEADLOCK &&
       attempt <= kRetries && !PendingInterrupt();
       ++attempt) {
    Warn(std::string("the rows of ") + table_->Descriptor()->table_name + " met " +
         session_.Error() + "; sending them again (" + std::to_string(attempt) + " of " +
         std::to_string(kRetries) + ")");
    ::poll(nullptr, 0, 50 << attempt);
    sent_ = SendBatch(batch);
    applied = static_cast<std::uint32_t>(ReadBatch(batch, sent_, &failed, &failed_row));
  }
  if (failed && !sent_ && !batch.too_large) session_.KeepError();  // the send failed
  if (failed || next_ >= rows) {
    // (On success the lock stays for the record, taken at the table's end.)
    if (failed) Unlock();
    return {.applied = applied,
            .stopped = failed,
            .refused = failed,
            .refused_offset = failed ? static_cast<std::uint32_t>(failed_row) - applied : 0};
  }
  next_ = after;
  current_ = 1 - current_;
  sent_ = SendBatch(following);
  return {.applied = applied};
}

std::uint32_t ServerRows::StopRows() {
  std::uint32_t applied = 0;
  if (in_flight_) {
    // The batch sent ahead: the server applies it whatever comes next.
    bool failed = false;
    std::size_t failed_row = 0;
    applied = static_cast<std::uint32_t>(ReadBatch(batches_[current_], true, &failed, &failed_row));
  }
  bulk_.Close();
  bulk_active_ = false;
  batching_ = false;
  Unlock();
  return applied;
}

bool ServerRows::LockTable() {
  // Without the LOCK TABLES privilege the rows still go, unlocked.
  return session_.Quietly("LOCK TABLES `" + builder_->SqlName() + "` WRITE");
}

void ServerRows::Unlock() {
  if (locked_) session_.Quietly("UNLOCK TABLES");
  locked_ = false;
}

bool ServerRows::TableIsMyISAM() {
  // The statements ask for MyISAM, but a server may substitute another
  // engine. A MyISAM table keeps the rows of an array before a failing
  // one; a transactional table does not, and after a failed array some
  // servers stall the connection, so such tables get batches.
  std::string engine;
  return session_.Value(std::string("SELECT ENGINE FROM information_schema.TABLES WHERE "
                                    "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '") +
                            builder_->SqlName() + "'",
                        &engine) &&
         engine == "MyISAM";
}

RowOutput::RowsSent ServerRows::SendBulk(std::uint32_t first) {
  bool ok = false;
  // An InnoDB table takes each array as a transaction of its own (an array
  // is within the bounds of one); a failed one is rolled back whole, and
  // its rows go again as statements, in transactions, which stop at the
  // failing row.
  const bool begun = !innodb_ || session_.Quietly("START TRANSACTION");
  std::uint32_t n = 0;
  if (begun) {
    const WatchedRows watched(watch_, session_, table_->Descriptor()->table_name);
    n = bulk_.Execute(first, &ok);
  }
  if (innodb_) {
    ok = ok && session_.Quietly("COMMIT");
    if (!ok) {
      // The arrays stop for the rest of the table: the batches it goes on
      // with must not meet an array while one of them is in flight.
      session_.Quietly("ROLLBACK");
      bulk_.Close();
      bulk_active_ = false;
      return {.applied = 0};
    }
  }
  if (ok) {
    if (first + n >= table_->RecordCount()) bulk_.Close();  // (the lock stays: see EndTable)
    return {.applied = n};
  }
  bulk_.Close();
  bulk_active_ = false;
  // The table was empty before this run's rows, and MyISAM keeps the rows
  // of the array before the failing one: their count tells where it is.
  // The rows from there on are sent again as statements, which stop at the
  // failing row exactly as one statement per row would, with its reason.
  std::string count;
  session_.Value("SELECT COUNT(*) FROM `" + builder_->SqlName() + "`", &count);
  const unsigned long long stored = std::strtoull(count.c_str(), nullptr, 10);
  std::uint32_t applied = 0;
  if (stored > first && n > 0)
    applied = static_cast<std::uint32_t>(std::min<unsigned long long>(stored - first, n - 1));
  return {.applied = applied};
}

void ServerRows::DropLeftovers() {
  if (!session_.Query(
          (std::string("SELECT TABLE_NAME, TABLE_COMMENT FROM information_schema.TABLES "
                       "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_COMMENT LIKE '") +
           kMark + "%'")
              .c_str()))
    return;
  // A table copied from a marked one (CREATE TABLE ... LIKE, a backup)
  // keeps the mark, but not the id in its name: only a table whose name and
  // mark carry the same id is the tool's.
  std::vector<std::string> leftovers;
  if (MYSQL_RES* result = mysql_store_result(session_.handle())) {
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      if (!row[0] || !row[1] || !IsStagingName(row[0])) continue;
      const std::string name = row[0];
      if (MarkId(row[1], kMark) == name.substr(name.size() - 8)) leftovers.push_back(name);
    }
    mysql_free_result(result);
  }
  // The lock is held: no other run of the tool is using them.
  for (const std::string& table : leftovers)
    session_.Quietly("DROP TABLE IF EXISTS `" + table + "`");
}

RowOutput::TablePlan ServerRows::BeforeTable(const LoadedTable& table, const std::string& name) {
  TablePlan plan = records_.Check(table, name);
  // A failure to switch shows at the table's first row, named by the server.
  const bool wide = plan.before == Before::kReplace && plan.utf8mb4;
  if (wide && !session_.options().utf8mb4) {
    session_.UseCharacterSet("utf8mb4");
    wide_connection_ = true;
  } else if (wide_connection_) {
    session_.UseCharacterSet(nullptr);
    wide_connection_ = false;
  }
  return plan;
}

void ServerRows::DropStaging(const std::string& staging) {
  // A run asked to stop waits a second at most for what holds the table.
  if (PendingInterrupt()) session_.Quietly("SET SESSION lock_wait_timeout = 1");
  if (session_.Quietly("DROP TABLE IF EXISTS " + staging)) return;
  // A lost connection drops it once made again; one that is not made
  // again, or a DROP the server ends (another session's transaction holds
  // the table, and the run is asked to stop), leaves it to the next run,
  // which finds it by its mark.
  if (session_.lost()) staging_left_ = staging;
  if (!session_.lost() || PendingInterrupt())
    Warn("the staging table " + staging + " is left (" + session_.Error() +
         "); the next run of the tool drops it");
}

void ServerRows::DropStagingLeft() {
  if (!staging_left_.empty() && session_.Quietly("DROP TABLE IF EXISTS " + staging_left_))
    staging_left_.clear();
}

bool ServerRows::EndTable(const LoadedTable& table_ended, StatementBuilder& builder, bool complete,
                          TableEnd* end) {
  // A table without rows ends without having begun them.
  table_ = &table_ended;
  builder_ = &builder;
  if (!session_.connected()) return true;
  if (!atomic_) {
    // The record's checksum is taken under the rows' lock, still held: an
    // edit queued behind the load comes after it, and is told as an edit.
    if (complete) records_.Record(table_->Descriptor()->table_name);
    Unlock();
    return true;
  }
  Unlock();
  const std::string table = table_->Descriptor()->table_name;
  const std::string staging = "`" + builder_->SqlName() + "`";
  // A table that failed or was interrupted leaves the old one as it was.
  if (!complete) {
    DropStaging(staging);
    return true;
  }
  // One RENAME swaps both names at once for every reader of the table. The
  // old table keeps its comment: retired, it is named after the run that
  // marked it, so that a retired table left behind is known as the tool's.
  const std::optional<std::string> comment = CommentOf(session_, table);
  const bool exists = comment.has_value();
  // The live table was edited while the staging table loaded: it is kept,
  // and the staging table goes.
  if (exists && records_.MovedSinceCheck(table, &end->kept)) {
    DropStaging(staging);
    return false;
  }
  const std::string marked = exists ? MarkId(*comment, kMark) : "";
  std::string retired = RetiredName(table, run_id_);
  if (!marked.empty() && IsStagingName(RetiredName(table, marked)))
    retired = RetiredName(table, marked);
  retired = "`" + retired + "`";
  // The new table takes its record with it.
  records_.Record(builder_->SqlName());
  const std::string swap = !exists ? "RENAME TABLE " + staging + " TO `" + table + "`"
                                   : "RENAME TABLE `" + table + "` TO " + retired + ", " + staging +
                                         " TO `" + table + "`";
  if (!Swap(swap)) {
    end->failed = swap;
    DropStaging(staging);
    return false;
  }
  if (exists) session_.Quietly("DROP TABLE IF EXISTS " + retired);
  return true;
}

bool ServerRows::Swap(const std::string& sql) {
  // Readers of the old table hold it until their statements (or
  // transactions) end; the RENAME waits for them, at most --lock-wait.
  return session_.Query(sql.c_str(),
                        std::string("the swap of ") + table_->Descriptor()->table_name);
}
