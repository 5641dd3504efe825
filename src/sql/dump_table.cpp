// Writes the loaded table through the writer interface: its drop and
// creation statements, then one insert per record in file order, with a
// progress bar. The rows stop at the first insert the writer refuses. The
// members of DBCFile that build statements live here too, beside the
// builder they use.
#include <cstdio>

#include "dbc/dbcfile.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "port/test_pause.h"
#include "sql/engine.h"
#include "sql/progress_bar.h"
#include "sql/row_output.h"
#include "sql/statement_builder.h"

DBCFile::DBCFile() : builder_(std::make_unique<StatementBuilder>(table_)) {}

DBCFile::~DBCFile() = default;

const char* DBCFile::BuildCreateDatabase(const char* name) {
  return builder_->BuildCreateDatabase(name);
}
void DBCFile::SetEngine(Engine engine) { builder_->SetEngine(engine); }
void DBCFile::SetUtf8mb4(bool utf8mb4) {
  utf8mb4_ = utf8mb4;
  builder_->SetUtf8mb4(utf8mb4);
}
const char* DBCFile::BuildDropTable() { return builder_->BuildDropTable(); }
const char* DBCFile::BuildCreateTable() { return builder_->BuildCreateTable(); }
const char* DBCFile::BuildInsert(std::uint32_t n) { return builder_->BuildInsert(n); }
const char* DBCFile::EscapeString(const char* s) { return builder_->EscapeString(s); }
const char* DBCFile::EscapeBaseName(const char* s) { return builder_->EscapeBaseName(s); }

bool DBCFile::DumpTable() {
  if (!table_.IsLoaded()) return false;
  table_skipped_ = false;
  table_note_.clear();
  if (rows_) {
    builder_->SetStaging(rows_->StagingSuffix(), rows_->StagingMark());
    builder_->SetLiveChecksum(rows_->LiveChecksum());
    if (!Replaces()) return true;
  }
  {
    if (TestPauseArmed()) {
      const std::string connection = ConnectionName();
      // The detail: the connection and the name the table is loaded under
      // (its staging table's, with --atomic).
      TestPause(connection.starts_with("sibling") ? "sibling-table" : "table",
                table_.Descriptor()->table_name, connection + " " + builder_->SqlName());
    }
    ProgressBar bar(table_.RecordCount(), console_ == Console::kAll && progress_);
    // Nothing more of the table is written (`cut`: its old rows are gone).
    const auto stop_here = [&](bool interrupted, bool cut) {
      table_rows_ = 0;
      rows_cut_ = cut;
      if (interrupted) CountFault(FaultKind::kInterrupted, InterruptedBy(PendingInterrupt()));
      RowOutput::TableEnd end;
      if (rows_) rows_->EndTable(table_, *builder_, false, &end);
      return true;
    };
    const bool dropped = Write(BuildDropTable());
    // The run was asked to stop while the drop waited: the table is as it
    // was.
    if (!dropped && PendingInterrupt()) return stop_here(true, false);
    if (!dropped) CountStatementFault();
    // Creating the table and its rows would be refused alike.
    if (!dropped && RefusedForGood()) return stop_here(false, false);
    const bool created = Write(BuildCreateTable());
    if (!created && PendingInterrupt()) return stop_here(true, dropped);
    if (!created) CountStatementFault();
    const unsigned faults = ExportFaults();
    WriteRows(bar, dropped && created);
    RowOutput::TableEnd end;
    if (rows_ &&
        !rows_->EndTable(table_, *builder_, ExportFaults() == faults && dropped && created, &end)) {
      if (const int signal_number = PendingInterrupt()) {
        // The swap waited and the run was asked to stop: the old table stays.
        CountFault(FaultKind::kInterrupted, InterruptedBy(signal_number));
      } else if (!end.kept.empty()) {
        const char* const name = table_.Descriptor()->table_name;
        if (console_ != Console::kNothing)
          std::fprintf(ConsoleOut(), "%s: %s\n", name, end.kept.c_str());
        table_rows_ = 0;
        CountFault(FaultKind::kEdited, end.kept);
      } else {
        const std::string& failed = end.failed;
        // (The swap names both tables: shown as it was sent.)
        ReportRefused(failed.c_str(), true);
        CountStatementFault();
      }
    }
  }
  // The rows of a client file changed while they were exported are not the
  // file's rows: neither the old ones nor the new ones.
  if (table_.Changed())
    Report({FaultKind::kChanged,
            Format("%s changed while it was exported", table_.Descriptor()->file_path),
            table_.Descriptor()->file_path});
  return true;
}

bool DBCFile::Replaces() {
  const char* const name = table_.Descriptor()->table_name;
  const RowOutput::TablePlan plan = rows_->BeforeTable(table_, name);
  const std::string& why = plan.why;
  // (The run's character set comes back with the next table's plan.)
  builder_->SetUtf8mb4(utf8mb4_ || plan.utf8mb4);
  switch (plan.before) {
    case RowOutput::Before::kReplace:
      if (!why.empty() && console_ == Console::kAll)
        std::fprintf(ConsoleOut(), "%s: %s\n", name, why.c_str());
      table_note_ = why.empty() ? "" : name + std::string(": ") + why;
      return true;
    case RowOutput::Before::kSkip:
      if (console_ == Console::kAll) std::fprintf(ConsoleOut(), "%s: unchanged, skipped\n", name);
      table_skipped_ = true;
      return false;
    case RowOutput::Before::kKeep:
      if (console_ != Console::kNothing) std::fprintf(ConsoleOut(), "%s: %s\n", name, why.c_str());
      CountFault(plan.kept_as, why);
      return false;
  }
  return true;
}

void DBCFile::WriteRows(ProgressBar& bar, bool new_table) {
  const auto took = [&](std::uint32_t rows) {
    for (std::uint32_t i = 0; i < rows; ++i) bar.Step();
    table_rows_ += rows;
    rows_written_ += rows;
  };
  const std::uint32_t records = table_.RecordCount();
  table_rows_ = 0;
  if (records == 0) return;
  rows_cut_ = true;  // until the last row is taken
  if (rows_) rows_->BeginRows(table_, *builder_, new_table);
  while (table_rows_ < records) {
    if (const int signal_number = PendingInterrupt()) {
      if (rows_) took(rows_->StopRows());
      CountFault(FaultKind::kInterrupted, InterruptedBy(signal_number));
      return;
    }
    RowOutput::RowsSent sent;
    if (rows_)
      sent = rows_->SendRows(table_rows_);
    else if (Write(BuildInsert(table_rows_)))
      sent.applied = 1;
    else
      sent.stopped = true;
    if (forget_behind_) table_.ForgetRecords(table_rows_, table_rows_ + sent.applied);
    took(sent.applied);
    if (sent.applied > 0 && !sent.stopped && TestPauseArmed())
      TestPause("rows", table_.Descriptor()->table_name, std::to_string(table_rows_));
    if (sent.stopped && PendingInterrupt()) {
      // The run was asked to stop while the rows waited: the output ended
      // them (a statement the server was told to end is no refusal).
      CountFault(FaultKind::kInterrupted, InterruptedBy(PendingInterrupt()));
      return;
    }
    if (sent.stopped) {
      if (sent.refused) ReportRefused(BuildInsert(table_rows_ + sent.refused_offset));
      CountStatementFault();
      return;
    }
    if (sent.applied == 0) {
      CountFault(FaultKind::kOutput,
                 Format("the output took no row at row %u and did not stop", table_rows_));
      return;
    }
  }
  rows_cut_ = false;
}

void DBCFile::CountStatementFault() {
  const std::string reason = RefusalReason();
  // No words of the server: the output failed (a script that cannot be
  // written).
  CountFault(reason.empty() ? FaultKind::kOutput : FaultKind::kRefused, FailedStatementReason(),
             reason.empty() ? 0 : RefusalCode());
}

void DBCFile::ReportRefused(const char* statement, bool as_sent) {
  if (console_ != Console::kNothing) {
    // A statement into a staging table is shown as one into the table.
    std::string shown = statement;
    const std::string staging = "`" + builder_->SqlName() + "`";
    const std::size_t at =
        !as_sent && rows_ && *rows_->StagingSuffix() ? shown.find(staging) : std::string::npos;
    if (at != std::string::npos)
      shown.replace(at, staging.size(), std::string("`") + table_.Descriptor()->table_name + "`");
    std::fprintf(ConsoleOut(), "ERROR sql command:\n%s\n", shown.c_str());
  }
  WarnLine(RefusalReason());
}

std::string DBCFile::FailedStatementReason() const {
  // The server's words, or the output's own fault (a write error) that
  // made it refuse the statement.
  const std::string reason = RefusalReason();
  return reason.empty() ? LastFault() : reason;
}
