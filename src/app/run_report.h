// What a run did, table by table, and how it ended. Every mode reports into
// a RunReport instead of printing: a table done (with its status, rows and
// fault), a cause that explains many tables, a note, an interruption, and
// the end. Its renderers say it: TextReport (the console lines of the modes
// that read, and the summary on standard error) and, with --report,
// JsonReport (one JSON document per run). The report only records; it
// prints nothing itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "dbc/fault.h"
#include "roundtrip/differing_value.h"

struct TableDescriptor;

// What became of one table.
enum class TableStatus : std::uint8_t {
  kExported,    // in full
  kPartial,     // some of its rows, then a fault
  kFailed,      // none of it
  kNotReached,  // the run ended before it
  kSkipped,     // left as it was, on purpose
  kEqual,       // --verify: the database holds the client's rows
  kDiffers,     // --verify: it does not
  kWritten,     // --write-dbc: its client file was written
  kChecked,     // --check: it would be exported in full
  kKept,        // edited on the server since it was loaded: kept, as asked
  kMissing,     // its client file is not there
};

// The status's name in the run report ("not_reached").
const char* TableStatusName(TableStatus status);
// Whether the table got what the run was to give it.
bool InFull(TableStatus status);
// The status of a table that got nothing for `fault`: missing when its
// client file is not there, failed otherwise.
TableStatus FailedFor(const Fault& fault);

struct TableEntry {
  const TableDescriptor* table = nullptr;
  TableStatus status = TableStatus::kNotReached;
  std::uint32_t rows = 0;                // rows taken (partial: before the fault)
  std::uint32_t records = 0;             // records of its client file
  std::uint64_t bytes = 0;               // bytes of the script it took (a script run)
  Fault fault{};                         // why it is not in full (an empty reason: none)
  std::string line{};                    // the console line of a mode that reads, or check
  std::vector<std::string> details{};    // console lines under it ("  id 4 name: ...")
  std::vector<DifferingValue> values{};  // --verify: the first values that differ
  std::string note{};                    // a line said of it though it is in full
  int slot = -1;                         // the slot its texts were read from (-1: none)
};

// How a mode's run is said, from its row of the mode table, so that the
// renderers need no case for any mode.
struct ModeWords {
  const char* name;  // in the JSON report ("write-dbc")
  // A console line per table (TableEntry::line), and, under --quiet, that
  // of a failed table on standard error too.
  bool table_lines = false;
  bool failed_lines_on_stderr = false;
  enum class Ending {
    kExport,  // the export's summary
    kCheck,   // the summary of what would be exported
    kCount,   // one line: a count of tables (`count`), or how far it got
  } ending = Ending::kExport;
  const char* none = "";      // kCount: what a run that ended early did not do
  const char* count = "";     // kCount: what is counted ("tables differ")
  bool count_missed = false;  // kCount: interrupted, every table gone through counts
  const char* done = "";      // kCount: interrupted "after N of M tables <done>"
  const char* skipped = "";   // kCount: what the tables left as they were are
  // kCount: the status counted, and the count's words for one table.
  TableStatus counted = TableStatus::kWritten;
  const char* count_one = "";
  const char* failed = "";  // kCount: what the tables that failed are
};

class RunReport;

// Says a report: as the run goes (TableEnded) and at its end (Ended).
class ReportRenderer {
 public:
  virtual ~ReportRenderer() = default;
  virtual void TableEnded(const RunReport& report, const TableEntry& entry) {
    (void)report;
    (void)entry;
  }
  virtual void Ended(const RunReport& report) = 0;
};

class RunReport {
 public:
  // `mode`: how the mode's run is said; `tables`: those the run is to go
  // through, in catalogue order. A `quiet` run's text says only what went
  // wrong.
  RunReport(const ModeWords& mode, std::vector<const TableDescriptor*> tables, bool quiet);

  // The renderers, called in the order added; each must outlive the report.
  void AddRenderer(ReportRenderer* renderer) { renderers_.push_back(renderer); }

  // Where an export goes: "script" or "server".
  void SetOutput(const char* output) { output_ = output; }
  // The run swaps each table in whole (--atomic): a table whose rows the
  // server refused part-way keeps its old rows.
  void KeepsOldRows(bool atomic) { keeps_old_rows_ = atomic; }
  // A table edited on the server is kept as asked (--keep-edited): kept,
  // not failed.
  void KeepsEdited(bool keep) { keeps_edited_ = keep; }
  bool keeps_edited() const { return keeps_edited_; }

  // One table's outcome, in the order the run went through them.
  void TableDone(TableEntry entry);
  // A line the user should read though the table was exported (its texts
  // are in another language slot); empty for none.
  void Note(const std::string& note);
  // A cause that explains failures of many tables (no client folder, a
  // database that cannot be used), or what became of the output ("the old
  // script ... is kept"); said before the tables.
  void Cause(const std::string& cause);
  // A fault outside any table (the output failing at its end).
  void OutputFault(const std::string& reason) { output_faults_.push_back(reason); }
  // A signal stopped the run, with what became of the output.
  void Interrupted(int signal_number, const std::string& outcome);
  // The run ended before the end of its tables, for `reason`;
  // `output_lost`: what the output took before is lost too (a script).
  void Ended(const std::string& reason, bool output_lost);

  // The end of the run, with its exit status and, for an export, the rows
  // and bytes the output took: every renderer says it. Returns `status`.
  int Finish(int status, std::uint64_t rows = 0, std::uint64_t bytes = 0);
  // The end of a run that stopped before its first table, and why.
  int FinishEarly(int status, const std::string& why);

  const char* mode() const { return mode_.name; }
  const ModeWords& words() const { return mode_; }
  const char* output() const { return output_; }
  bool quiet() const { return quiet_; }
  const std::vector<const TableDescriptor*>& tables() const { return tables_; }
  const std::vector<TableEntry>& entries() const { return entries_; }
  // The entries in catalogue order, the tables not reached included.
  std::vector<TableEntry> AllTables() const;
  int total() const { return static_cast<int>(tables_.size()); }
  int in_full() const;
  int missed() const { return static_cast<int>(entries_.size()) - in_full(); }
  // The tables of one status.
  int count(TableStatus status) const;
  // The tables left as they were, on purpose.
  int skipped() const;
  const std::vector<std::string>& notes() const { return notes_; }
  const std::vector<std::string>& causes() const { return causes_; }
  const std::vector<std::string>& output_faults() const { return output_faults_; }
  int signal_number() const { return signal_; }
  const std::string& ended() const { return ended_; }
  bool output_lost() const { return output_lost_; }
  bool keeps_old_rows() const { return keeps_old_rows_; }
  // Set by FinishEarly(): why the run stopped before its first table.
  const std::string& early_end() const { return early_end_; }
  int status() const { return status_; }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t bytes() const { return bytes_; }
  double seconds() const;

 private:
  void Say();

  std::chrono::steady_clock::time_point start_;
  const ModeWords& mode_;
  const char* output_ = "";
  std::vector<const TableDescriptor*> tables_;
  bool quiet_;
  std::vector<ReportRenderer*> renderers_;
  std::vector<TableEntry> entries_;
  std::vector<std::string> notes_, causes_, output_faults_;
  int signal_ = 0;
  std::string ended_;
  bool output_lost_ = false;
  bool keeps_old_rows_ = false;
  bool keeps_edited_ = false;
  std::string early_end_;
  int status_ = 0;
  std::uint64_t rows_ = 0, bytes_ = 0;
  double seconds_ = -1;  // fixed at the end
};
