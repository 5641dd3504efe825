// DBCFile holds one client table in memory at a time. It reads a client
// (DBC) file, checks it against a TableDescriptor, and gives the statement
// builder in-place access to its records and strings. It is also the base of
// the two writers (SQL file and MySQL server): the statement builder and the
// table export are members of it, and Write()/Close() are the two operations
// through which every statement leaves the program.
//
// Every byte of a loaded file is checked before it is used: a table that
// loads successfully can be exported without reading outside its buffer.
// A client file is read in place (see TableBuffer), so the values that
// locate other bytes (string offsets) are bounded again where they are used;
// a file that changed during its export is reported after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/client_files.h"
#include "dbc/table_descriptor.h"
#include "port/byte_reader.h"
#include "port/helper_thread.h"
#include "port/table_buffer.h"
#include "port/text_buffer.h"
#include "sql/escape.h"

class ProgressBar;

class DBCFile {
 public:
  DBCFile() = default;
  virtual ~DBCFile() = default;
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
  // Where Load() reads client files: the client folder on disk unless
  // another source is given (it must outlive its use).
  void SetClientFiles(ClientFiles* files) { files_ = files; }

  // Builds the merged rating table from its three level-indexed source
  // files and makes it the loaded table under `descriptor`. False, with no
  // table loaded, when none of the sources could be used.
  bool LoadRatingTable(const TableDescriptor* descriptor);

  // Selects the language slot exported for localized strings; out-of-range
  // values select slot 0.
  void SetLocale(int index);

  // What the reader and the export say on the console: every line, only
  // failures (a quiet run: no "Open DBC file" line, no bar), or nothing (a
  // check, which prints a line of its own per table).
  enum class Console { kAll, kFailures, kNothing };
  void SetConsole(Console console) { console_ = console; }

  // Writes the loaded table: drop, creation and one insert per record, with
  // a progress bar. False when no table is loaded.
  bool DumpTable();

  // Statement builder. Each returns the shared statement buffer, which the
  // next build overwrites.
  const char* BuildCreateDatabase(const char* name);
  const char* BuildDropTable();
  const char* BuildCreateTable();
  const char* BuildInsert(std::uint32_t n);
  // The insert of record n, appended to `out`. Reads only the loaded table,
  // so that two threads may build rows of one table at once.
  void AppendInsert(TextBuffer& out, std::uint32_t n) const;
  // Length of the statement last built.
  std::size_t StatementLength() const { return statement_.size(); }

  // Escape the string with the client library's rules into the shared
  // escape buffer and return it; EscapeBaseName takes only the text after
  // the last backslash (a final backslash does not count).
  const char* EscapeString(const char* s);
  const char* EscapeBaseName(const char* s);

  // How a record of the loaded table turns into values: one step per
  // exported column, prepared once per table.
  struct ValueStep {
    char type;            // u, i, f, t, k or s
    std::uint32_t field;  // field read: for s, the locale's slot
  };
  const std::vector<ValueStep>& ValueSteps() const { return insert_steps_; }

  // One exported value of a record: the one place that reads it, for the
  // statement text and for the server's arrays alike. A number is the
  // field's word; a text is the string (for k, its last path component).
  struct RowValue {
    enum Kind { kUnsigned, kSigned, kFloat, kText } kind;
    std::uint32_t word;
    std::string_view text;
  };
  RowValue ValueOf(const ValueStep& step, const std::uint8_t* record) const {
    const std::uint32_t word = LoadLE32(record + 4 * std::size_t{step.field});
    switch (step.type) {
      case 'u': return {RowValue::kUnsigned, word, {}};
      case 'i': return {RowValue::kSigned, word, {}};
      case 'f': return {RowValue::kFloat, word, {}};
      default: {  // t, k, s
        std::string_view text = StringAt(word);
        if (step.type == 'k') text.remove_prefix(BaseName(text.data(), text.size()) - text.data());
        return {RowValue::kText, word, text};
      }
    }
  }

  bool IsLoaded() const { return data_.get() != nullptr; }
  // The SQL table the statements of the loaded table write: its catalogue
  // name, or the staging table the output loads it into first.
  const std::string& SqlName() const { return sql_name_; }
  const std::uint8_t* GetRecord(std::uint32_t n) const;
  std::uint32_t RecordCount() const { return record_count_; }
  std::uint32_t RecordSize() const { return record_size_; }
  std::uint32_t FieldCount() const { return field_count_; }
  std::uint32_t StringBlockSize() const { return string_size_; }
  const char* StringBlock() const { return strings_; }
  // The string at `offset` of the string block, up to its NUL. Offsets were
  // checked at load; they are bounded again here because a mapped client
  // file may have changed since: an offset outside the block reads as "",
  // and a string without its NUL ends with the block.
  std::string_view StringAt(std::uint32_t offset) const {
    if (offset >= string_size_) return {"", 0};
    const char* s = strings_ + offset;
    return {s, ::strnlen(s, string_size_ - offset)};
  }
  std::uint32_t Locale() const { return locale_; }
  const TableDescriptor* Descriptor() const { return descriptor_; }

  // The faults seen in this run that left a table not exported in full:
  // failed loads, failed statements, output errors; each with its one-line
  // reason and the server's error number (0 for a fault of no server).
  struct Fault {
    std::string reason;
    unsigned code = 0;
    bool output_kept = false;  // the output is whole; something beside it failed
  };
  unsigned ExportFaults() const { return static_cast<unsigned>(faults_.size()); }
  const std::string& LastFault() const {
    return faults_.empty() ? NoFault().reason : faults_.back().reason;
  }
  // The fault numbered `n` (0 for the first of the run), or an empty one.
  const Fault& FaultAt(unsigned n) const { return n < faults_.size() ? faults_[n] : NoFault(); }
  // Whether the output can take the next table. A writer may mend its
  // output here (the server sink connects again after losing the
  // connection); false ends the run, with the reason in LastFault().
  virtual bool Ready() { return true; }
  // The run ends without its result (interrupted, or not one table
  // exported): the output keeps what it held before, where it can. With
  // `new_output_too` unset, an output that held nothing before is still
  // written. Returns what became of the output, for the summary (empty when
  // there is nothing to say).
  virtual std::string Abandon(bool new_output_too) {
    (void)new_output_too;
    return "";
  }
  // When every localized text of the loaded table is empty in the chosen
  // slot while another slot holds text, one line that says so and names
  // that slot; otherwise "".
  std::string EmptySlotHint() const;
  // When a text of the loaded table holds what a utf8 (three-byte) column
  // cannot (a four-byte character, bytes that are not UTF-8), one line
  // naming the first such record and column; otherwise "". The server
  // refuses that row, so a script stops loading there.
  std::string UnstorableText() const;

  // Rows of the loaded table that the output took, and whether they
  // stopped before its last row.
  std::uint32_t TableRows() const { return table_rows_; }
  bool RowsCut() const { return rows_cut_; }

  // Rows the output took in this run, and the bytes it wrote (0 when it
  // does not count them).
  std::uint64_t RowsWritten() const { return rows_written_; }
  virtual std::uint64_t BytesWritten() const { return 0; }

 protected:
  void CountFault(std::string reason, unsigned code = 0, bool output_kept = false) {
    faults_.push_back({std::move(reason), code, output_kept});
  }
  // Counts the fault of a statement the output did not take.
  void CountStatementFault() {
    const std::string reason = RefusalReason();
    CountFault(FailedStatementReason(), reason.empty() ? 0 : RefusalCode());
  }
  // A console line formatted like the others (no line break), and its
  // report: printed as a line and counted as a fault.
  static std::string Reason(const char* format, ...) __attribute__((format(printf, 1, 2)));
  void Report(const std::string& reason);

  // How a table's rows leave the program. The export calls BeginRows()
  // once, then asks the writer to send rows from `first` on, as many as it
  // likes, and shows and reports what came of them (see WriteRows()): the
  // base sends one row through Write(); writers that send many rows at once
  // override SendRows(). Every call either takes at least one row or stops:
  // a writer that takes none without stopping ends the table as a fault, as
  // asking it again could go on for ever.
  struct RowsSent {
    std::uint32_t applied = 0;  // rows taken by the output, from `first` on
    bool stopped = false;       // the row after them was not taken
    bool refused = false;       // ... because the server refused it
  };
  virtual void BeginRows() {}
  virtual RowsSent SendRows(std::uint32_t first);
  // The rows stop before their end (the run was interrupted): waits for the
  // rows still in flight and returns how many of them the output took.
  virtual std::uint32_t StopRows() { return 0; }
  // A table's statements are done; `complete` when every one of them was
  // taken. An output that loads a staging table swaps it in here.
  virtual void EndTable(bool complete) { (void)complete; }
  // What the output appends to a table's name for the table it writes
  // first ("" for the table itself).
  virtual const char* StagingSuffix() const { return ""; }
  // The comment the table it writes first is created with, which marks it
  // as the output's own ("" for none; plain text, no quote).
  virtual const char* StagingMark() const { return ""; }
  // Whether the rows go into a table that this run dropped and created, so
  // that it held no rows before them.
  bool RowsIntoNewTable() const { return rows_into_new_table_; }
  // The server's reason for the last statement it refused; empty when the
  // output has no server.
  virtual std::string RefusalReason() const { return ""; }
  // The server's error number of that refusal.
  virtual unsigned RefusalCode() const { return 0; }
  // Shows a statement the server refused: "ERROR sql command:" with the
  // statement on the console, then its reason.
  void ReportRefused(const char* statement);
  // Why the output did not take the last statement.
  std::string FailedStatementReason() const;
  // The second thread of the work that splits in two (reads, rows).
  HelperThread& Helper() { return helper_; }

 private:
  // The rows of the loaded table, in file order: the bar steps for every
  // row the output took; the first row it did not take stops the table,
  // shown with its own statement when the server refused it.
  void WriteRows(ProgressBar& bar);

  // Reads a table from `source` and checks it against the descriptor: the
  // header, the sizes and every string offset that the export reads.
  bool Accept(const TableDescriptor* descriptor, TableSource& source, std::string* reason);
  bool CheckHeader(const char* path, std::size_t file_size, std::string* reason) const;
  bool CheckStrings(const char* path, std::string* reason);
  bool CheckStringRange(std::uint32_t begin, std::uint32_t end, std::uint64_t readable_end,
                        const char* path, std::string* reason) const;
  // The one way a load fails: reports the reason and leaves no table
  // loaded. Returns false.
  bool Refuse(const std::string& reason);
  // "<path> cannot be read: <the system's reason>"; returns false.
  static bool ReadError(const char* path, int error, std::string* reason);
  // "<path> is truncated: its header needs N bytes, the file has M".
  static std::string Truncated(const char* path, std::uint64_t needed, std::uint64_t has);
  void Unload();
  // A block of at least `size` bytes for a table read from a file, whose
  // content the read replaces.
  TableBuffer TakeBuffer(std::size_t size);

  void PrepareInsert();

  std::uint32_t record_size_ = 0;
  std::uint32_t record_count_ = 0;
  std::uint32_t field_count_ = 0;
  std::uint32_t string_size_ = 0;
  TableBuffer data_;
  TableBuffer spare_;  // the block of an earlier table, for reuse
  ClientFiles* files_ = &DiskClientFiles::Instance();
  const char* strings_ = nullptr;
  std::uint32_t locale_ = 0;
  Console console_ = Console::kAll;
  const TableDescriptor* descriptor_ = nullptr;

  std::vector<ValueStep> insert_steps_;
  std::vector<std::uint32_t> string_fields_;
  std::string sql_name_;
  std::string insert_prefix_;      // "INSERT INTO `table` VALUES ("
  std::size_t numbers_bound_ = 0;  // room the non-string values of a row need

  TextBuffer statement_;
  TextBuffer escaped_;
  HelperThread helper_;
  std::vector<Fault> faults_;
  static const Fault& NoFault();
  std::uint64_t rows_written_ = 0;
  std::uint32_t table_rows_ = 0;
  bool rows_cut_ = false;
  bool rows_into_new_table_ = false;
};
