// What a run says at its end, on standard error, so that a user learns
// without scrolling back which tables did not make it and why: how many
// tables were exported in full, the rows and bytes written (or rows applied
// on the server), the wall time, each table not exported in full with its
// client file and reason, and the exit status. One line when all is well.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct TableDescriptor;

class RunSummary {
 public:
  // `total`: the tables the run is to export.
  explicit RunSummary(int total) : start_(std::chrono::steady_clock::now()), total_(total) {}

  // Records the outcome of one table of the export order.
  void TableDone(const TableDescriptor& table, bool in_full, const std::string& reason);
  // Records a fault outside any table (the output failing at its end).
  void OutputFault(const std::string& reason) { output_faults_.push_back(reason); }
  // Records why the run ended before the end of the export order: a signal
  // (with what became of the output), or an output that can take no more.
  void Interrupted(int signal_number, const std::string& outcome) {
    signal_ = signal_number;
    outcome_ = outcome;
  }
  // `output_lost`: what the output took before is lost too (a script).
  void Ended(const std::string& reason, bool output_lost) {
    ended_ = reason;
    output_lost_ = output_lost;
  }
  // Something to say about the output at the end ("the old script ... is
  // kept").
  void Note(const std::string& note) {
    if (!note.empty()) notes_.push_back(note);
  }

  // Prints the summary of a run that went through the export order, or
  // part of it.
  void Print(int status, std::uint64_t rows, std::uint64_t bytes, bool server) const;
  // Prints why a run ended before any table.
  void PrintEarlyEnd(int status, const std::string& why) const;

 private:
  struct Missed {
    const TableDescriptor* table;
    std::string reason;
  };
  std::chrono::steady_clock::time_point start_;
  int total_;
  int tables_ = 0;
  std::vector<Missed> missed_;
  std::vector<std::string> output_faults_;
  std::vector<std::string> notes_;
  int signal_ = 0;
  std::string outcome_;
  std::string ended_;
  bool output_lost_ = false;
};
