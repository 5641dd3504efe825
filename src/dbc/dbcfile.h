// DBCFile holds one client table in memory at a time. It reads a client
// (DBC) file, checks it against a TableDescriptor, and gives the statement
// builder in-place access to its records and strings. It is also the base of
// the two writers (SQL file and MySQL server): the statement builder and the
// table export are members of it, and Write()/Close() are the two operations
// through which every statement leaves the program.
//
// Every byte of a loaded file is checked before it is used: a table that
// loads successfully can be exported without reading outside its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbc/table_buffer.h"
#include "dbc/table_descriptor.h"
#include "sql/text_buffer.h"

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

  // Builds the merged rating table from its three level-indexed source
  // files and makes it the loaded table under `descriptor`. False, with no
  // table loaded, when none of the sources could be used.
  bool LoadRatingTable(const TableDescriptor* descriptor);

  // Selects the language slot exported for localized strings; out-of-range
  // values select slot 0.
  void SetLocale(int index);

  // Writes the loaded table: drop, creation and one insert per record, with
  // a progress bar. False when no table is loaded.
  bool DumpTable();

  // Statement builder. Each returns the shared statement buffer, which the
  // next build overwrites.
  const char* BuildCreateDatabase(const char* name);
  const char* BuildDropTable();
  const char* BuildCreateTable();
  const char* BuildInsert(std::uint32_t n);
  // Length of the statement last built.
  std::size_t StatementLength() const { return statement_.size(); }

  // Escape the string with the client library's rules into the shared
  // escape buffer and return it; EscapeBaseName takes only the text after
  // the last backslash (a final backslash does not count).
  const char* EscapeString(const char* s);
  const char* EscapeBaseName(const char* s);

  bool IsLoaded() const { return data_ != nullptr; }
  const std::uint8_t* GetRecord(std::uint32_t n) const;
  std::uint32_t RecordCount() const { return record_count_; }
  std::uint32_t RecordSize() const { return record_size_; }
  std::uint32_t FieldCount() const { return field_count_; }
  std::uint32_t StringBlockSize() const { return string_size_; }
  const char* StringBlock() const { return strings_; }
  std::uint32_t Locale() const { return locale_; }
  const TableDescriptor* Descriptor() const { return descriptor_; }

  // Number of faults seen in this run that left a table not exported in
  // full: failed loads, failed statements, output errors.
  unsigned ExportFaults() const { return faults_; }

 protected:
  void CountFault() { ++faults_; }

  // Writes the inserts of the loaded table in file order, stepping the bar
  // once per row delivered; stops at the first row not delivered. Writers
  // that can deliver many rows at once override it, and must then show and
  // report exactly what one Write() per row would have.
  virtual void WriteRows(ProgressBar& bar);

 private:
  // The checks of Load() after the magic: header, sizes, string offsets.
  bool CheckHeader(const char* path, std::size_t file_size);
  bool CheckStrings(const char* path) const;
  void Unload();

  // How BuildInsert() turns a record of the loaded table into values: one
  // step per exported column, prepared once per table.
  struct ValueStep {
    char type;            // u, i, f, t, k or s
    std::uint32_t field;  // field read: for s, the locale's slot
  };
  void PrepareInsert();

  std::uint32_t record_size_ = 0;
  std::uint32_t record_count_ = 0;
  std::uint32_t field_count_ = 0;
  std::uint32_t string_size_ = 0;
  TableBuffer data_;
  std::size_t data_size_ = 0;
  const char* strings_ = nullptr;
  std::uint32_t locale_ = 0;
  const TableDescriptor* descriptor_ = nullptr;

  std::vector<ValueStep> insert_steps_;
  std::string insert_prefix_;    // "INSERT INTO `table` VALUES ("
  std::size_t numbers_bound_ = 0;  // room the non-string values of a row need

  TextBuffer statement_;
  TextBuffer escaped_;
  unsigned faults_ = 0;
};
