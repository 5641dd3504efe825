// Rows of one table sent to a MariaDB server as one prepared INSERT executed
// with arrays of rows (array binding), which spares the server the parsing
// of every row and the answer to every statement. The INSERT lists a group
// of rows (kRowsPerInsert sets of values), so that MyISAM gathers each group's rows
// in its write cache instead of writing them one at a time; the rows after
// the last whole group go through an INSERT of one row. Integers are bound as
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

#include "dbc/loaded_table.h"

class BulkInsert {
 public:
  BulkInsert() = default;
  ~BulkInsert() { Close(); }
  BulkInsert(const BulkInsert&) = delete;
  BulkInsert& operator=(const BulkInsert&) = delete;

  // Prepares the insert of the rows of `table` into the SQL table
  // `sql_name`, executed in arrays of at most `packet_limit` bytes. False
  // when the server or the library cannot execute arrays, or the server
  // refuses the statement.
  bool Prepare(MYSQL* mysql, const LoadedTable& table, const std::string& sql_name,
               std::size_t packet_limit);

  // Executes the rows from `first` on, as many as fit in one array; returns
  // how many were in it; *ok tells whether the server took them all. None
  // (and *ok false) when the row at `first` alone does not fit.
  std::uint32_t Execute(std::uint32_t first, bool* ok);

  void Close();

  static constexpr std::uint32_t kArrayRows = 1000;
  // Rows per INSERT of the grouped statement: more than the 10 rows from
  // which MyISAM uses its write cache, and a divisor of kArrayRows. More
  // were measured slower: the full sample client loaded in 2.43-2.93 s with
  // 20, 2.53-2.70 s with 50, 2.97-3.20 s with 100 and 2.99-3.21 s with 200
  // (three alternating runs each, one connection).
  static constexpr std::uint32_t kRowsPerInsert = 20;
  static_assert(kArrayRows % kRowsPerInsert == 0);

 private:
  // The bound values of one column, for every row of an array.
  struct Column {
    LoadedTable::ValueStep step;
    std::vector<std::uint32_t> numbers;   // u, i
    std::vector<const char*> texts;       // f, t, k, s
    std::vector<unsigned long> lengths;   // f, t, k, s
    std::unique_ptr<char[]> float_texts;  // f: kArrayRows texts
  };
  // One array of rows, ready to bind. A value of a row n places of the
  // array from its first sits at n in its column, or, grouped, at
  // (n % kRowsPerInsert) * (kArrayRows / kRowsPerInsert) + n / kRowsPerInsert: the values of each
  // set of the grouped INSERT lie together.
  struct Array {
    std::vector<Column> columns;
    std::vector<MYSQL_BIND> binds;        // the one-row INSERT
    std::vector<MYSQL_BIND> group_binds;  // the grouped INSERT
    std::uint32_t rows = 0;
  };

  void SetUp(Array& array);
  // Fills `array` with rows from `first` on, as many as fit; grouped, in
  // whole groups only (none when a group does not fit).
  void Fill(Array& array, std::uint32_t first, bool grouped) const;
  // Prepares `sql`; null when the server refuses it or it does not take
  // `params` values.
  MYSQL_STMT* PrepareStatement(MYSQL* mysql, const std::string& sql, std::size_t params);

  MYSQL_STMT* stmt_ = nullptr;
  MYSQL_STMT* group_stmt_ = nullptr;  // null where only the one-row INSERT is had
  const LoadedTable* table_ = nullptr;
  std::size_t packet_limit_ = 0;
  Array array_;
};
