// What a run says at its end, on standard error, so that a user learns
// without scrolling back whether it worked and, if not, why. The first line
// states the outcome; the next, the rows and bytes and the time; then the
// causes (a missing client folder, a database that cannot be used, an
// output that failed, what was kept of an old script), then the tables not
// exported in full: one line for many tables that failed for one reason,
// otherwise one per table, with how far it got. Every line fits 80 columns.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "port/console.h"

struct TableDescriptor;

class RunSummary {
 public:
  // `total`: the tables the run is to export. A `quiet` run's summary is
  // printed only when the run fails or has a note.
  explicit RunSummary(int total, bool quiet = false)
      : start_(std::chrono::steady_clock::now()), total_(total), quiet_(quiet) {}

  // Records the outcome of one table of the export order: in full, or not,
  // with the reason (and the server's error number, 0 for none) and the
  // rows taken of the table's `records` (when they stopped part-way).
  // Tables that failed with one error number, or one reason, are grouped.
  void TableDone(const TableDescriptor& table, bool in_full, const std::string& reason,
                 std::uint32_t rows = 0, std::uint32_t records = 0, unsigned code = 0);
  // A line the user should read though the table was exported (its texts
  // are in another language slot); empty for none.
  void Note(const std::string& note) {
    if (!note.empty()) notes_.push_back(note);
  }
  // A cause that explains failures of many tables (no client folder, a
  // database that cannot be used), or what became of the output ("the old
  // script ... is kept"); said before the tables.
  void Cause(const std::string& cause) {
    if (!cause.empty()) causes_.push_back(cause);
  }
  // Records a fault outside any table (the output failing at its end).
  void OutputFault(const std::string& reason) { output_faults_.push_back(reason); }
  // Records why the run ended before the end of the export order: a signal
  // (with what became of the output), or an output that can take no more.
  void Interrupted(int signal_number, const std::string& outcome) {
    signal_ = signal_number;
    Cause(outcome);
  }
  // `output_lost`: what the output took before is lost too (a script).
  void Ended(const std::string& reason, bool output_lost) {
    ended_ = reason;
    output_lost_ = output_lost;
  }

  // The run swaps each table in whole (--atomic): a table whose rows the
  // server refused part-way keeps its old rows, and its line says so.
  void KeepsOldRows(bool atomic) { keeps_old_rows_ = atomic; }

  // Prints the summary of a run that went through the export order, or
  // part of it.
  void Print(int status, std::uint64_t rows, std::uint64_t bytes, bool server) const;
  // Prints the summary of --check.
  void PrintCheck(int status) const;
  // Prints why a run ended before any table.
  void PrintEarlyEnd(int status, const std::string& why) const;

 private:
  struct Missed {
    const TableDescriptor* table;
    std::string reason;
    std::uint32_t rows, records;
    unsigned code;
  };
  // The lines after the headline and the rows: causes, notes, tables.
  std::string Body() const;
  std::chrono::steady_clock::time_point start_;
  int total_;
  bool quiet_;
  int tables_ = 0;
  std::vector<std::string> notes_;
  std::vector<Missed> missed_;
  std::vector<std::string> causes_;
  std::vector<std::string> output_faults_;
  int signal_ = 0;
  std::string ended_;
  bool output_lost_ = false;
  bool keeps_old_rows_ = false;
};
