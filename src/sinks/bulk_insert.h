// Rows of one table sent to a MariaDB server as one prepared INSERT executed
// with arrays of rows (array binding), which spares the server the parsing
// of every row and the answer to every statement. Integers are bound as
// 32-bit binary values, signed or unsigned as the column is; floats and
// texts as the exact text that the INSERT statement carries for them (the
// float's "%f" text, the string's bytes), so that the server stores what it
// stores for the statement.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbc/dbcfile.h"

class BulkInsert {
 public:
  BulkInsert() = default;
  ~BulkInsert() { Close(); }
  BulkInsert(const BulkInsert&) = delete;
  BulkInsert& operator=(const BulkInsert&) = delete;

  // Prepares the insert of the table loaded in `table`, executed in arrays
  // of at most `packet_limit` bytes. False when the server or the library
  // cannot execute arrays, or the server refuses the statement.
  bool Prepare(MYSQL* mysql, const DBCFile& table, std::size_t packet_limit);

  // Executes the rows from `first` on, as many as fit in one array; returns
  // how many were in it; *ok tells whether the server took them all.
  std::uint32_t Execute(std::uint32_t first, bool* ok);

  void Close();

  static constexpr std::uint32_t kArrayRows = 1000;

 private:
  // The bound values of one column, for every row of an array.
  struct Column {
    DBCFile::ValueStep step;
    std::vector<std::uint32_t> numbers;   // u, i
    std::vector<const char*> texts;       // f, t, k, s
    std::vector<unsigned long> lengths;   // f, t, k, s
    std::unique_ptr<char[]> float_texts;  // f: kArrayRows texts
  };
  // One array of rows, ready to bind.
  struct Array {
    std::vector<Column> columns;
    std::vector<MYSQL_BIND> binds;
    std::uint32_t rows = 0;
  };

  void SetUp(Array& array);
  // Fills `array` with rows from `first` on, as many as fit.
  void Fill(Array& array, std::uint32_t first) const;

  MYSQL_STMT* stmt_ = nullptr;
  const DBCFile* table_ = nullptr;
  std::size_t packet_limit_ = 0;
  Array array_;
};
