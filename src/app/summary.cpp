#include "app/summary.h"

#include <cstdio>
#include <string>

#include "catalogue/catalogue.h"
#include "port/interrupt.h"

namespace {

constexpr char kName[] = "vesk-dbc2sql";

}  // namespace

void RunSummary::TableDone(const TableDescriptor& table, bool in_full, const std::string& reason) {
  ++tables_;
  if (!in_full) missed_.push_back({&table, reason});
}

void RunSummary::Print(int status, std::uint64_t rows, std::uint64_t bytes, bool server) const {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fflush(stdout);
  std::string written = std::to_string(rows) + " rows";
  written += server ? " applied on the server" : ", " + std::to_string(bytes) + " bytes written";
  const int total = total_;
  const int in_full = tables_ - static_cast<int>(missed_.size());
  if (signal_) {
    std::fprintf(stderr,
                 "%s: interrupted by %s after %d of %d tables, %s in %.2f s; %sexit status %d\n",
                 kName, SignalName(signal_), in_full, total, written.c_str(), seconds,
                 outcome_.empty() ? "" : (outcome_ + "; ").c_str(), status);
  } else {
    // A script that failed to be written or to take its target's place
    // holds no table.
    const bool lost = output_lost_ || !output_faults_.empty();
    std::fprintf(stderr, "%s: %d of %d tables exported in full, %s in %.2f s; exit status %d\n",
                 kName, lost ? 0 : in_full, total, written.c_str(), seconds, status);
  }
  for (const Missed& missed : missed_)
    std::fprintf(stderr, "  %s (%s): %s\n", missed.table->table_name,
                 FilesOf(*missed.table).c_str(), missed.reason.c_str());
  if (tables_ < total && !signal_) {
    const int left = total - tables_;
    const bool same = !missed_.empty() && missed_.back().reason == ended_;
    std::fprintf(stderr, "  the run ended %s: %d table%s not reached\n",
                 same ? "there" : ("before the next table: " + ended_).c_str(), left,
                 left == 1 ? "" : "s");
  }
  for (const std::string& fault : output_faults_) std::fprintf(stderr, "  %s\n", fault.c_str());
  for (const std::string& note : notes_) std::fprintf(stderr, "  %s\n", note.c_str());
}

void RunSummary::PrintEarlyEnd(int status, const std::string& why) const {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: no table exported: %s; exit status %d\n", kName, why.c_str(), status);
}
