// The text of every SQL statement the program emits, built from a loaded
// table: database creation, table drop, table creation and one insert per
// record. Statements are built into one statement buffer, and strings
// escaped into one escape buffer; each build overwrites the last, and
// nothing allocates once the buffers have grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dbc/loaded_table.h"
#include "port/text_buffer.h"
#include "sql/engine.h"

// The SQL type of an exported column of the catalogue's `type` ("int(10)
// unsigned"); its definition adds NOT NULL.
const char* SqlTypeOf(char type);

class StatementBuilder {
 public:
  explicit StatementBuilder(const LoadedTable& table) : table_(table) {}
  StatementBuilder(const StatementBuilder&) = delete;
  StatementBuilder& operator=(const StatementBuilder&) = delete;

  // The SQL table the statements of the loaded table write: its catalogue
  // name followed by `staging_suffix`, created with the comment `mark`
  // (none when empty). Takes effect from the next statement; the table
  // being replaced by another is seen by itself.
  void SetStaging(const char* staging_suffix, const char* mark);
  const std::string& SqlName();
  // The engine the table is created with (MyISAM unless set).
  void SetEngine(Engine engine) { engine_ = engine; }
  Engine engine() const { return engine_; }
  // Text columns and a new database in utf8mb4 instead of utf8.
  void SetUtf8mb4(bool utf8mb4) { utf8mb4_ = utf8mb4; }
  bool utf8mb4() const { return utf8mb4_; }
  // A MyISAM table keeps a live checksum (CHECKSUM=1).
  void SetLiveChecksum(bool live) { live_checksum_ = live; }
  const LoadedTable& Table() const { return table_; }

  const char* BuildCreateDatabase(const char* name);
  const char* BuildDropTable();
  const char* BuildCreateTable();
  const char* BuildInsert(std::uint32_t n);
  // The insert of record n, appended to `out`. Reads only the loaded table
  // (Prepare() first), so that two threads may build rows of one table.
  void AppendInsert(TextBuffer& out, std::uint32_t n) const;
  // The first rows of the transactions the table's rows are committed in
  // (Prepare() first), then the row count: a transaction ends after
  // kTransactionRows rows, or before a row that would take its inserts past
  // kTransactionBytes. Builds every insert once to measure it.
  void TransactionStarts(std::vector<std::uint32_t>* starts) const;
  // Makes the builder ready for the loaded table; the builds do it too.
  void Prepare();
  // Length of the statement last built.
  std::size_t Length() const { return statement_.size(); }

  // Escape the string with the client library's rules into the escape
  // buffer and return it; EscapeBaseName takes only the text after the
  // last backslash (a final backslash does not count).
  const char* EscapeString(const char* s);
  const char* EscapeBaseName(const char* s);

 private:
  const LoadedTable& table_;
  std::uint64_t prepared_ = 0;  // the table generation the strings below are for
  std::string staging_suffix_, mark_;
  Engine engine_ = Engine::kMyISAM;
  bool utf8mb4_ = false;
  bool live_checksum_ = false;
  std::string sql_name_;
  std::string insert_prefix_;      // "INSERT INTO `table` VALUES ("
  std::size_t numbers_bound_ = 0;  // room the non-string values of a row need
  TextBuffer statement_;
  TextBuffer escaped_;
};
