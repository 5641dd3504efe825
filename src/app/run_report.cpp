#include "app/run_report.h"

#include <utility>

#include "dbc/table_descriptor.h"

const char* TableStatusName(TableStatus status) {
  switch (status) {
    case TableStatus::kExported: return "exported";
    case TableStatus::kPartial: return "partial";
    case TableStatus::kFailed: return "failed";
    case TableStatus::kNotReached: return "not_reached";
    case TableStatus::kSkipped: return "skipped";
    case TableStatus::kEqual: return "equal";
    case TableStatus::kDiffers: return "differs";
    case TableStatus::kWritten: return "written";
    case TableStatus::kChecked: return "checked";
    case TableStatus::kKept: return "kept";
    case TableStatus::kMissing: return "missing";
  }
  return "failed";
}

bool InFull(TableStatus status) {
  return status == TableStatus::kExported || status == TableStatus::kSkipped ||
         status == TableStatus::kEqual || status == TableStatus::kWritten ||
         status == TableStatus::kChecked;
}

RunReport::RunReport(const ModeWords& mode, std::vector<const TableDescriptor*> tables, bool quiet)
    : start_(std::chrono::steady_clock::now()),
      mode_(mode),
      tables_(std::move(tables)),
      quiet_(quiet) {}

void RunReport::TableDone(TableEntry entry) {
  entries_.push_back(std::move(entry));
  for (ReportRenderer* renderer : renderers_) renderer->TableEnded(*this, entries_.back());
}

void RunReport::Note(const std::string& note) {
  if (!note.empty()) notes_.push_back(note);
}

void RunReport::Cause(const std::string& cause) {
  if (!cause.empty()) causes_.push_back(cause);
}

void RunReport::Interrupted(int signal_number, const std::string& outcome) {
  signal_ = signal_number;
  Cause(outcome);
}

void RunReport::Ended(const std::string& reason, bool output_lost) {
  ended_ = reason;
  output_lost_ = output_lost;
}

int RunReport::Finish(int status, std::uint64_t rows, std::uint64_t bytes) {
  status_ = status;
  rows_ = rows;
  bytes_ = bytes;
  Say();
  return status;
}

int RunReport::FinishEarly(int status, const std::string& why) {
  early_end_ = why;
  return Finish(status);
}

void RunReport::Say() {
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  for (ReportRenderer* renderer : renderers_) renderer->Ended(*this);
}

double RunReport::seconds() const {
  return seconds_ >= 0
             ? seconds_
             : std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

int RunReport::in_full() const {
  int n = 0;
  for (const TableEntry& entry : entries_) n += InFull(entry.status);
  return n;
}

int RunReport::skipped() const { return count(TableStatus::kSkipped); }

int RunReport::count(TableStatus status) const {
  int n = 0;
  for (const TableEntry& entry : entries_) n += entry.status == status;
  return n;
}

TableStatus FailedFor(const Fault& fault) {
  return fault.kind == FaultKind::kMissing ? TableStatus::kMissing : TableStatus::kFailed;
}

std::vector<TableEntry> RunReport::AllTables() const {
  std::vector<TableEntry> all;
  all.reserve(tables_.size());
  for (const TableDescriptor* table : tables_) {
    const TableEntry* done = nullptr;
    for (const TableEntry& entry : entries_)
      if (entry.table == table) done = &entry;
    if (done) {
      all.push_back(*done);
    } else {
      all.emplace_back();
      all.back().table = table;
    }
  }
  return all;
}
