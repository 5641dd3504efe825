// Writes the loaded table through the writer interface: its drop and
// creation statements, then one insert per record in file order, with a
// progress bar. The rows stop at the first insert the writer refuses.
#include <cstdio>

#include "dbc/dbcfile.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "sql/progress_bar.h"

bool DBCFile::DumpTable() {
  if (!IsLoaded()) return false;
  {
    ProgressBar bar(record_count_, console_ == Console::kAll);
    const bool dropped = Write(BuildDropTable());
    if (!dropped) CountStatementFault();
    const bool created = Write(BuildCreateTable());
    if (!created) CountStatementFault();
    rows_into_new_table_ = dropped && created;
    const unsigned faults = ExportFaults();
    WriteRows(bar);
    EndTable(ExportFaults() == faults && rows_into_new_table_);
  }
  // The rows of a client file changed while they were exported are not the
  // file's rows: neither the old ones nor the new ones.
  if (data_.Changed()) Report(Reason("%s changed while it was exported", descriptor_->file_path));
  return true;
}

void DBCFile::WriteRows(ProgressBar& bar) {
  const auto took = [&](std::uint32_t rows) {
    for (std::uint32_t i = 0; i < rows; ++i) bar.Step();
    table_rows_ += rows;
    rows_written_ += rows;
  };
  table_rows_ = 0;
  if (record_count_ == 0) return;
  rows_cut_ = true;  // until the last row is taken
  BeginRows();
  while (table_rows_ < record_count_) {
    if (const int signal_number = PendingInterrupt()) {
      took(StopRows());
      CountFault(Reason("interrupted by %s", SignalName(signal_number)));
      return;
    }
    const RowsSent sent = SendRows(table_rows_);
    took(sent.applied);
    if (sent.stopped) {
      if (sent.refused) ReportRefused(BuildInsert(table_rows_));
      CountStatementFault();
      return;
    }
    if (sent.applied == 0) {
      CountFault(Reason("the output took no row at row %u and did not stop", table_rows_));
      return;
    }
  }
  rows_cut_ = false;
}

DBCFile::RowsSent DBCFile::SendRows(std::uint32_t first) {
  if (Write(BuildInsert(first))) return {.applied = 1};
  return {.stopped = true};
}

void DBCFile::ReportRefused(const char* statement) {
  if (console_ != Console::kNothing) {
    // A statement into a staging table is shown as one into the table.
    std::string shown = statement;
    const std::string staging = "`" + sql_name_ + "`";
    const std::size_t at = *StagingSuffix() ? shown.find(staging) : std::string::npos;
    if (at != std::string::npos)
      shown.replace(at, staging.size(), std::string("`") + descriptor_->table_name + "`");
    std::printf("ERROR sql command:\n%s\n", shown.c_str());
  }
  WarnLine(RefusalReason());
}

std::string DBCFile::FailedStatementReason() const {
  // The server's words, or the output's own fault (a write error) that
  // made it refuse the statement.
  const std::string reason = RefusalReason();
  return reason.empty() ? LastFault() : reason;
}
