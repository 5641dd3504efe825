// DBCFile is the face of one run's work on a table: it loads a client (DBC)
// file into a LoadedTable (read only, in this folder), builds its statements
// with a StatementBuilder and writes them (src/sql), and is the base of the
// two writers, SQL file and MySQL server (src/sinks): Write() and Close()
// are the two operations through which every statement leaves the program,
// and a writer that sends many rows at once gives the export a RowOutput.
//
// This header holds the face only; the builder and the row output are
// defined where their concern is, and DBCFile's members that use them
// (the builds, the export, construction) are defined in src/sql.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dbc/client_files.h"
#include "dbc/fault.h"
#include "dbc/loaded_table.h"
#include "dbc/table_descriptor.h"
#include "port/helper_thread.h"

enum class Engine;  // sql/engine.h
class ProgressBar;
class RowOutput;
class StatementBuilder;

class DBCFile {
 public:
  DBCFile();
  virtual ~DBCFile();
  DBCFile(const DBCFile&) = delete;
  DBCFile& operator=(const DBCFile&) = delete;

  // Writer interface. Delivers one NUL-terminated statement; true when it
  // was delivered. The base class has no output and always returns false.
  virtual bool Write(const char* text);
  // Ends the output. The base class has nothing to end.
  virtual void Close();

  // Replaces the loaded table by the file the descriptor names. Reports
  // every failure on the console; afterwards no table is loaded.
  bool Load(const TableDescriptor* descriptor);
  // Lets go of the loaded table (its memory), as the next Load() would.
  void Unload();
  // Keeps little of a large table's mapped file in memory: nothing once it
  // is read and checked, and no record once its row was taken. For tables
  // exported side by side, whose files would otherwise add up.
  void ForgetBehind(bool on) { forget_behind_ = on; }
  // Where Load() reads client files: the client folder on disk unless
  // another source is given (it must outlive its use).
  void SetClientFiles(ClientFiles* files) { files_ = files; }

  // Builds the merged rating table from its level-indexed source files and
  // makes it the loaded table under `descriptor`. False, with no table
  // loaded, when none of the sources could be used.
  bool LoadRatingTable(const TableDescriptor* descriptor, std::span<const RatingSource> sources);

  // Selects the language slot exported for localized strings; out-of-range
  // values select slot 0.
  void SetLocale(int index);
  // Each table loaded gets the digest of its bytes (an output that records
  // what it loaded asks for it).
  void KeepDigests() { table_.KeepDigests(); }
  // -l auto: each table takes its texts from the slot that holds them; the
  // console says the slot of each table with localized texts, as it says
  // the chosen one ("Change locale to: enCN").
  void SetAutoLocale();

  // The storage engine of the tables created (MyISAM unless set).
  void SetEngine(Engine engine);
  // Texts in utf8mb4 (the tables' columns, a new database) instead of utf8.
  void SetUtf8mb4(bool utf8mb4);

  // What the reader and the export say on the console: every line, only
  // failures (no "Open DBC file" line, no bar), or nothing (a check, which
  // prints a line of its own per table, or a quiet run).
  enum class Console { kAll, kFailures, kNothing };
  void SetConsole(Console console) { console_ = console; }
  Console console() const { return console_; }
  // Whether a table's export draws its progress bar (with every line).
  void SetProgress(bool shown) { progress_ = shown; }

  // Writes the loaded table: drop, creation and one insert per record, with
  // a progress bar. False when no table is loaded.
  bool DumpTable();

  // Statements of the loaded table. Each returns the shared statement
  // buffer, which the next build overwrites.
  const char* BuildCreateDatabase(const char* name);
  const char* BuildDropTable();
  const char* BuildCreateTable();
  const char* BuildInsert(std::uint32_t n);
  // Escape the string with the client library's rules into the shared
  // escape buffer and return it; EscapeBaseName takes only the text after
  // the last backslash (a final backslash does not count).
  const char* EscapeString(const char* s);
  const char* EscapeBaseName(const char* s);

  // The loaded table, read only: its records (GetRecord), counts, strings
  // and descriptor.
  const LoadedTable& Table() const { return table_; }

  // The faults seen in this run that left a table not exported in full:
  // failed loads, failed statements, output errors; each with its one-line
  // reason and the server's error number (0 for a fault of no server).
  using Fault = ::Fault;
  unsigned ExportFaults() const { return static_cast<unsigned>(faults_.size()); }
  const std::string& LastFault() const { return FaultAt(ExportFaults() - 1).reason; }
  // The fault numbered `n` (0 for the first of the run), or an empty one.
  const Fault& FaultAt(unsigned n) const;

  // Whether the output can take the next table. A writer may mend its
  // output here (the server sink connects again after losing the
  // connection); false ends the run, with the reason in LastFault().
  virtual bool Ready() { return true; }
  // Whether Ready() failed because the output is gone for good (a lost
  // connection that could not be made again), rather than refused.
  virtual bool OutputGone() const { return false; }
  // Which connection this is, for a test that holds the run at a table
  // ("first 12", "sibling 13": the server's id of the connection); empty
  // for an output without one.
  virtual std::string ConnectionName() const { return ""; }
  // The run ends without its result (interrupted, or not one table
  // exported): the output keeps what it held before, where it can. With
  // `new_output_too` unset, an output that held nothing before is still
  // written. Returns what became of the output, for the summary (empty when
  // there is nothing to say).
  virtual std::string Abandon(bool new_output_too) {
    (void)new_output_too;
    return "";
  }

  // Rows of the loaded table that the output took, and whether they
  // stopped before its last row.
  std::uint32_t TableRows() const { return table_rows_; }
  // Whether the output left the last table as it was, unchanged since it
  // was loaded from the same client table.
  bool TableSkipped() const { return table_skipped_; }
  // What the output said of the last table it replaced ("vesk_spell:
  // replaced from ..., not from ..."); empty when nothing.
  const std::string& TableNote() const { return table_note_; }
  bool RowsCut() const { return rows_cut_; }
  // Rows the output took in this run, and the bytes it wrote (0 when it
  // does not count them).
  std::uint64_t RowsWritten() const { return rows_written_; }
  virtual std::uint64_t BytesWritten() const { return 0; }

 protected:
  void CountFault(FaultKind kind, std::string reason, unsigned code = 0, bool output_kept = false) {
    faults_.push_back({kind, std::move(reason), "", code, output_kept});
  }
  void CountFault(Fault fault) { faults_.push_back(std::move(fault)); }
  // Whether the loaded table is to replace its SQL table (the output
  // may leave it as it is, said on the console).
  bool Replaces();
  // Counts the fault of a statement the output did not take.
  void CountStatementFault();
  // A reason printed as a console line and counted as a fault.
  void Report(Fault fault);
  // The output's way of sending rows many at once (null: one statement
  // per row through Write()); it must outlive its use.
  void SetRowOutput(RowOutput* rows) { rows_ = rows; }
  // The server's reason for the last statement it refused, and its error
  // number; empty when the output has no server.
  virtual std::string RefusalReason() const { return ""; }
  virtual unsigned RefusalCode() const { return 0; }
  // Whether that refusal would meet every statement alike (no right to the
  // database, a read-only server): the table goes no further.
  virtual bool RefusedForGood() const { return false; }
  // Shows a statement the server refused: "ERROR sql command:" with the
  // statement on the console (a staging table named as the table, unless
  // it is shown `as_sent`), then its reason.
  void ReportRefused(const char* statement, bool as_sent = false);
  // The builder of the loaded table's statements.
  StatementBuilder& Builder() { return *builder_; }
  // The second thread of the work that splits in two (reads, rows).
  HelperThread& Helper() { return helper_; }

 private:
  // The rows of the loaded table, in file order: the bar steps for every
  // row the output took; the first row it did not take stops the table,
  // shown with its own statement when the server refused it.
  void WriteRows(ProgressBar& bar, bool new_table);
  // Why the output did not take the last statement.
  std::string FailedStatementReason() const;

  LoadedTable table_;
  std::unique_ptr<StatementBuilder> builder_;
  RowOutput* rows_ = nullptr;
  ClientFiles* files_ = &ClientFiles::Active();
  Console console_ = Console::kAll;
  bool progress_ = true;
  bool table_skipped_ = false;
  std::string table_note_;
  bool utf8mb4_ = false;  // the run's text columns are utf8mb4
  HelperThread helper_;
  std::vector<Fault> faults_;
  std::uint64_t rows_written_ = 0;
  std::uint32_t table_rows_ = 0;
  bool rows_cut_ = false;
  bool forget_behind_ = false;
};
