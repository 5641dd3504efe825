// Writes the loaded table through the writer interface: its drop and
// creation statements, then one insert per record in file order, with a
// progress bar. The rows stop at the first insert the writer refuses.
#include <cstdio>

#include "dbc/dbcfile.h"
#include "sql/progress_bar.h"

bool DBCFile::DumpTable() {
  if (!IsLoaded()) return false;
  {
    ProgressBar bar(record_count_);
    const bool dropped = Write(BuildDropTable());
    if (!dropped) CountFault(FailedStatementReason());
    const bool created = Write(BuildCreateTable());
    if (!created) CountFault(FailedStatementReason());
    rows_into_new_table_ = dropped && created;
    WriteRows(bar);
  }
  // The rows of a client file changed while they were exported are not the
  // file's rows: neither the old ones nor the new ones.
  if (data_.Changed()) Report(Reason("%s changed while it was exported", descriptor_->file_path));
  return true;
}

void DBCFile::WriteRows(ProgressBar& bar) {
  for (std::uint32_t next = 0; next < record_count_;) {
    const RowsSent sent = SendRows(next);
    for (std::uint32_t i = 0; i < sent.applied; ++i) bar.Step();
    next += sent.applied;
    rows_written_ += sent.applied;
    if (sent.stopped) {
      if (sent.refused) ReportRefused(BuildInsert(next));
      CountFault(FailedStatementReason());
      return;
    }
  }
}

DBCFile::RowsSent DBCFile::SendRows(std::uint32_t first) {
  if (Write(BuildInsert(first))) return {.applied = 1};
  return {.stopped = true};
}

void DBCFile::ReportRefused(const char* statement) {
  std::printf("ERROR sql command:\n%s\n", statement);
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", RefusalReason().c_str());
}

std::string DBCFile::FailedStatementReason() const {
  // The server's words, or the output's own fault (a write error) that
  // made it refuse the statement.
  const std::string reason = RefusalReason();
  return reason.empty() ? last_fault_ : reason;
}
