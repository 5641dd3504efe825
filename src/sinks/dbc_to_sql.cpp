#include "sinks/dbc_to_sql.h"

#include <mysqld_error.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "port/console.h"
#include "port/interrupt.h"
#include "sql/statement_builder.h"

dbcToSQL::dbcToSQL(const ConnectOptions& options, const LoadOptions& load,
                   const std::string& run_id)
    : session_(options, load), rows_(session_, load.atomic, run_id) {
  SetRowOutput(&rows_);
  KeepDigests();  // for the tables' records
  rows_.SetWatch(watch_.get());
}

dbcToSQL::~dbcToSQL() {
  Close();
  rows_.SetWatch(nullptr);  // (the watch goes before the rows)
}

bool dbcToSQL::Connect(const char* host, const char* user, const char* password,
                       const char* database, int port) {
  database_ = database;
  std::printf("Connecting to MySQL server: ");
  if (!session_.Open(host, user, password, port)) {
    const std::string reason = session_.ConnectError();
    std::printf("\n %s\n", reason.c_str());
    connected_ = false;
    CountFault(FaultKind::kOutput, reason);
    return false;
  }
  connected_ = true;
  std::printf("ok\n");
  // Before the lock, the database or any table: a server that would not
  // keep the tables as the run makes them is refused.
  if (const std::string problem = session_.EngineProblem(); !problem.empty()) {
    CountFault(FaultKind::kRefused, problem);
    return false;
  }
  lock_ = std::make_shared<RunLock>(database_);
  if (!SetUpSession(true)) return false;

  std::string why;
  if (session_.UseDatabase(database, &why)) {
    std::printf("Select database: %s\n", database);
  } else {
    std::printf("Create database: %s\n", database);
    Write(BuildCreateDatabase(database));
    if (!session_.UseDatabase(database, &why))
      CountFault(FaultKind::kRefused, why, session_.ErrorCode());
  }
  // On a cluster, the run's lock covers every node.
  if (ExportFaults() == 0 &&
      !lock_->TakeCluster(session_, rows_.run_id(), session_.load().lock_wait_seconds, &why)) {
    CountFault(FaultKind::kRefused, why);
    return false;
  }
  rows_.DropLeftovers();
  return true;
}

std::string dbcToSQL::RefusalReason() const {
  // (ER_TRUNCATED_WRONG_VALUE_FOR_FIELD: the tool sends numbers as numbers,
  // so only a text meets it.)
  constexpr unsigned kWrongValue = 1366;
  if (session_.ErrorCode() != kWrongValue || rows_.Utf8mb4Table()) return session_.Error();
  return session_.Error() + " (--utf8mb4 stores 4-byte characters)";
}

std::unique_ptr<dbcToSQL> dbcToSQL::Sibling(std::string* why) {
  auto sibling = std::make_unique<dbcToSQL>(session_.options(), session_.load(), rows_.run_id());
  sibling->first_ = false;
  sibling->database_ = database_;
  sibling->lock_ = lock_;
  sibling->rows_.SetWatch(watch_.get());  // (before its own watch goes)
  sibling->watch_ = watch_;
  sibling->slot_ = next_slot_++;
  if (!sibling->session_.OpenLike(session_)) {
    *why = sibling->session_.ConnectError();
    return nullptr;
  }
  sibling->connected_ = true;
  if (!sibling->SetUpSession(true)) {
    *why = sibling->LastFault();
    return nullptr;
  }
  if (!sibling->session_.UseDatabase(database_, why)) return nullptr;
  return sibling;
}

bool dbcToSQL::SetUpSession(bool first_connect) {
  std::string statement, why;
  if (!session_.SetUp(&statement)) {
    ReportRefused(statement.c_str());
    CountFault(FaultKind::kRefused, "the server refused the session settings: " + session_.Error());
    return false;
  }
  slot_held_ = false;
  const bool locked =
      first_ && first_connect
          ? (slot_held_ = lock_->Take(session_, session_.load().lock_wait_seconds, &why))
          : lock_->Keep(session_, slot_, &slot_held_, &why);
  if (!locked) {
    CountFault(FaultKind::kRefused, why);
    return false;
  }
  return true;
}

bool dbcToSQL::Ready() {
  if (!connected_ || gone_) return false;
  if (rows_.refused()) {
    CountFault(FaultKind::kRefused,
               "a staging table cannot be dropped, so --atomic cannot keep the old tables safe: " +
                   session_.Error());
    return false;
  }
  if (!session_.lost()) {
    // Whether the run still holds its lock, which goes with a lost
    // connection of its holder.
    std::string why;
    if (lock_->Keep(session_, slot_, &slot_held_, &why)) {
      lock_->RenewCluster(session_);
      return true;
    }
    CountFault(FaultKind::kRefused, why);
    return false;
  }
  // The server went away during the last table (restarted, killed, idle
  // too long): connect once more before the next one, unless the run is
  // asked to stop.
  if (PendingInterrupt()) return false;
  Warn("the connection to the server was lost (" + session_.Error() + "); connecting again");
  rows_.Release();
  if (!session_.Reopen()) {
    gone_ = true;
    CountFault(FaultKind::kOutput,
               "the connection to the server was lost and cannot be made again: " +
                   session_.ConnectError());
    return false;
  }
  if (!SetUpSession(false)) return false;
  if (std::string why; !session_.UseDatabase(database_, &why)) {
    CountFault(FaultKind::kRefused, why, session_.ErrorCode());
    return false;
  }
  // The staging table of the table the loss cut is of no use now (that
  // table may be unloaded already, on a connection of a parallel run).
  rows_.DropStagingLeft();
  return true;
}

bool dbcToSQL::Write(const char* text) {
  if (!connected_ || rows_.refused()) return false;
  if (session_.Query(text)) return true;
  // A statement the run's own stop ended (a wait cut short) is no refusal.
  if (PendingInterrupt() && session_.ErrorCode() == ER_QUERY_INTERRUPTED) return false;
  ReportRefused(text);
  // A staging table that cannot be dropped could not be cleaned away
  // either: nothing more is created. A DROP that failed because the
  // connection went is no refusal: the next table connects again and drops
  // it then.
  if (session_.load().atomic && !session_.lost() && std::strncmp(text, "DROP TABLE", 10) == 0)
    rows_.Refuse();
  return false;
}

std::string dbcToSQL::ConnectionName() const {
  if (!connected_) return "";
  return std::string(first_ ? "first " : "sibling ") + std::to_string(session_.ThreadId());
}

std::string dbcToSQL::Abandon(bool) {
  if (!Table().IsLoaded() || !RowsCut()) return "";
  const std::string table = Table().Descriptor()->table_name;
  if (session_.load().atomic) return table + " is kept as it was";
  return table + " is left partial, with " + std::to_string(TableRows()) + " of " +
         std::to_string(Table().RecordCount()) + " rows";
}

void dbcToSQL::Close() {
  if (!connected_) return;
  rows_.Release();
  if (first_ && lock_) lock_->ReleaseCluster(session_);
  session_.Close();
  connected_ = false;
  if (first_) std::printf("Disconnect\n");
}
