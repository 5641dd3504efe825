// How the server sink sends a table's rows: arrays of a prepared insert
// (see BulkInsert) into a table this run created, otherwise multi-statement
// batches, each table under a write lock where the user may take one. The
// session and the connection are in dbc_to_sql.cpp.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "sinks/dbc_to_sql.h"

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
  // A row too large for the server is alone in its batch; it is refused
  // here, so that the connection stays up.
  batch.too_large = !FitsInPacket(length);
  if (batch.too_large) return false;
  in_flight_ = mysql_send_query(&mysql_, text, length) == 0;
  return in_flight_;
}

std::size_t dbcToSQL::ReadBatch(bool sent, bool* failed) {
  *failed = true;
  if (!sent) return 0;
  in_flight_ = false;
  if (mysql_read_query_result(&mysql_) != 0) return 0;
  std::size_t applied = 0;
  for (;;) {
    if (MYSQL_RES* result = mysql_store_result(&mysql_)) mysql_free_result(result);
    ++applied;
    const int next = mysql_next_result(&mysql_);
    if (next < 0) break;           // no more results
    if (next > 0) return applied;  // the statement after `applied` failed
  }
  *failed = false;
  return applied;
}

void dbcToSQL::BeginRows() {
  Unlock();  // a lock the rows of an earlier table kept
  // Rows into a table created by this run go as arrays of a prepared
  // insert where the server and the library can; otherwise in batches.
  bulk_active_ = connected_ && RowsIntoNewTable() && TableIsMyISAM() &&
                 bulk_.Prepare(&mysql_, *this, bulk_bytes_limit_);
  batching_ = false;
  // Under a write lock MyISAM writes its index blocks once, at the end,
  // not after every statement.
  if (bulk_active_) locked_ = LockTable();
}

DBCFile::RowsSent dbcToSQL::SendRows(std::uint32_t first) {
  if (!connected_ || stopping_) return {.stopped = true};
  if (bulk_active_) {
    const RowsSent sent = SendBulk(first);
    if (sent.applied > 0 || sent.stopped) return sent;
    // The array failed at its first row: the rows go on as statements,
    // which stop at the failing row with its own reason.
  }
  const std::uint32_t rows = RecordCount();
  if (!multi_statements_ || batch_bytes_limit_ == 0 || rows < 2) {
    if (Query(BuildInsert(first))) return {.applied = 1};
    return {.stopped = true, .refused = true};
  }
  if (!batching_) {
    // The table's first batch: lock the table (if the arrays have not) and
    // send it.
    batching_ = true;
    if (!locked_) locked_ = LockTable();
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
  // The server reports at most one result per statement sent.
  const auto applied =
      static_cast<std::uint32_t>(std::min(ReadBatch(sent_, &failed), batch.starts.size()));
  if (failed && !batch.too_large) KeepServerError();
  if (failed || next_ >= rows) {
    Unlock();
    return {.applied = applied, .stopped = failed, .refused = failed};
  }
  next_ = after;
  current_ = 1 - current_;
  sent_ = SendBatch(following);
  return {.applied = applied};
}

std::uint32_t dbcToSQL::StopRows() {
  std::uint32_t applied = 0;
  if (in_flight_) {
    // The batch sent ahead: the server applies it whatever comes next.
    bool failed = false;
    applied = static_cast<std::uint32_t>(
        std::min(ReadBatch(true, &failed), batches_[current_].starts.size()));
  }
  bulk_.Close();
  bulk_active_ = false;
  batching_ = false;
  Unlock();
  return applied;
}

bool dbcToSQL::LockTable() {
  // Without the LOCK TABLES privilege the rows still go, unlocked.
  return Quietly(("LOCK TABLES `" + SqlName() + "` WRITE").c_str());
}

void dbcToSQL::Unlock() {
  if (locked_) Quietly("UNLOCK TABLES");
  locked_ = false;
}

bool dbcToSQL::TableIsMyISAM() {
  // The statements ask for MyISAM, but a server may substitute another
  // engine. A MyISAM table keeps the rows of an array before a failing
  // one; a transactional table does not, and after a failed array some
  // servers stall the connection, so such tables get batches.
  std::string engine;
  return Value(std::string("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                           "DATABASE() AND TABLE_NAME = '") +
                   SqlName() + "'",
               &engine) &&
         engine == "MyISAM";
}

DBCFile::RowsSent dbcToSQL::SendBulk(std::uint32_t first) {
  bool ok = false;
  const std::uint32_t n = bulk_.Execute(first, &ok);
  if (ok) {
    if (first + n >= RecordCount()) {
      bulk_.Close();
      Unlock();
    }
    return {.applied = n};
  }
  bulk_.Close();
  bulk_active_ = false;
  // The table was empty before this run's rows, and MyISAM keeps the rows
  // of the array before the failing one: their count tells where it is.
  // The rows from there on are sent again as statements, which stop at the
  // failing row exactly as one statement per row would, with its reason.
  std::string count;
  Value("SELECT COUNT(*) FROM `" + SqlName() + "`", &count);
  const unsigned long long stored = std::strtoull(count.c_str(), nullptr, 10);
  std::uint32_t applied = 0;
  if (stored > first && n > 0)
    applied = static_cast<std::uint32_t>(std::min<unsigned long long>(stored - first, n - 1));
  return {.applied = applied};
}
