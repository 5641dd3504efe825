// How the rows of a client table meet the rows of its table in a database:
// the exported columns, the client's records in the order of the primary key
// (file order without one), the SELECT that reads the database's rows in the
// same order, and values compared as the script prints them: a number as
// its decimal text, a float with six decimals (the sign of a zero, which
// the server does not keep, aside), a text byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/loaded_table.h"
#include "server/row_stream.h"
#include "server/server_session.h"
#include "sql/value_format.h"

class RowMatcher {
 public:
  // One exported column: its name, value step and whether it is a key.
  struct Column {
    const char* name;
    std::size_t step;
    bool key;
    char type;  // the catalogue's column type: 'u', 'i', 'f', or a text
  };

  // Sets up for `table` (loaded; it must outlive the use).
  void Prepare(const LoadedTable& table);
  // Whether the database's table has exactly the exported columns; else
  // *what says what it has (or why it cannot be read, or that it is
  // missing).
  bool CheckColumns(ServerSession& session, std::string* what) const;
  // Runs the SELECT of the database's rows: the exported columns in order
  // (floats as their exact DOUBLE), ordered by the key; its result is read
  // row by row into `rows`. False, with *why, when it fails.
  bool Open(ServerSession& session, RowStream* rows, std::string* why) const;

  const std::vector<Column>& columns() const { return columns_; }
  bool keyed() const { return keyed_; }
  // The client's records in key order.
  const std::vector<std::uint32_t>& order() const { return order_; }

  // The value of column j of record n as the script prints it (into
  // `text`, or the table's own string), the sign of a zero float aside.
  std::string_view ClientText(std::size_t j, std::uint32_t n, char* text) const;
  std::string ClientValue(std::size_t j, std::uint32_t n) const {
    char text[kMaxNumberText];
    return std::string(ClientText(j, n, text));
  }
  // A database value of column j as the script would print it (a float's
  // exact value as the script prints a float; "NULL" for NULL).
  std::string DatabaseText(std::size_t j, const char* value, unsigned long length) const;
  // Whether a database value (null: NULL) equals column j of record n.
  bool Same(std::size_t j, std::uint32_t n, const char* value, unsigned long length) const;
  // The key of record n ("id 7", "row 3" without a key), and of a row.
  std::string ClientKey(std::uint32_t n) const;
  std::string ServerKey(char** row, const unsigned long* lengths) const;
  // -1, 0 or 1 as record n's key is before, equal to or after a row's.
  int CompareKeys(std::uint32_t n, char** row, const unsigned long* lengths) const;

  // A float as the script prints it into `text`, the sign of a zero aside.
  static std::string_view FloatText(float value, char* text);

 private:
  void SortRecords();

  const LoadedTable* table_ = nullptr;
  std::vector<Column> columns_;
  bool keyed_ = false;
  std::vector<std::uint32_t> order_;
};
