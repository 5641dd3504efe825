// Compares a table in the database with the rows its client file exports,
// value by value as the script prints them: a number as its decimal text, a
// float with six decimals (so that a database loaded from the script and
// one loaded by the tool compare alike; the sign of a zero, which the server
// does not keep, is not compared), a text byte for byte. Rows are matched by
// the primary key (by position in a table without one). The database's rows
// are read streaming, one SELECT, ordered by that key, so that what is
// compared is one consistent view of the table and only the client's table
// is held in memory. Nothing on the server is changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbc/loaded_table.h"
#include "sinks/server_session.h"

class TableVerifier {
 public:
  explicit TableVerifier(ServerSession& session) : session_(session) {}

  // Compares the database's table of `table` (loaded at the run's locale).
  // True when every row is equal; otherwise *what says what differs: the
  // rows that differ (with their columns), are missing or are extra, with
  // the first few keys of each; or why the table cannot be compared (it is
  // missing, its columns are not the catalogue's, the server refused).
  bool Compare(const LoadedTable& table, std::string* what);

  // Keys named per kind of difference, at most.
  static constexpr int kNamed = 3;

 private:
  // One exported column: its name, value step and whether it is a key.
  struct Column {
    const char* name;
    std::size_t step;
    bool key;
  };
  // The columns the server has for the table, in order; false when the
  // query failed.
  bool ServerColumns(const std::string& table, std::vector<std::string>* names);
  // The client's records in key order (file order without a key).
  void SortRecords(const LoadedTable& table);
  // The value of `column` of record n as the script prints it.
  std::string ClientValue(const LoadedTable& table, const Column& column, std::uint32_t n) const;
  // The key of record n ("id 7"), and the key of a server row.
  std::string ClientKey(const LoadedTable& table, std::uint32_t n) const;
  std::string ServerKey(char** row, const unsigned long* lengths) const;
  // -1, 0 or 1 as record n's key is before, equal to or after a server row's.
  int CompareKeys(const LoadedTable& table, std::uint32_t n, char** row,
                  const unsigned long* lengths) const;

  ServerSession& session_;
  std::vector<Column> columns_;
  std::vector<std::uint32_t> order_;
};
