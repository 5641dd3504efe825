// Compares a table in the database with the rows its client file exports
// (see RowMatcher for how rows meet and values compare). The database's rows
// are read streaming, one SELECT, ordered by the key, so that what is
// compared is one consistent view of the table and only the client's table
// is held in memory. Nothing on the server is changed.
#pragma once

#include <string>
#include <vector>

#include "dbc/loaded_table.h"
#include "roundtrip/diff_statements.h"
#include "roundtrip/differing_value.h"
#include "roundtrip/row_matcher.h"
#include "roundtrip/row_source.h"
#include "server/server_session.h"

class TableVerifier {
 public:
  explicit TableVerifier(ServerSession& session) : session_(session) {}

  // Compares the database's table of `table` (loaded at the run's locale).
  // True when every row is equal ("equal, N rows" in *what); otherwise
  // *what says what differs: the rows that differ (with their columns), are
  // missing or are extra, with the first few keys of each; or why the table
  // cannot be compared (it is missing, its columns are not the catalogue's,
  // the server refused).
  // The first values that differ, kValues at most, go into *values when
  // it is given; every difference, row by row, into `diff`.
  bool Compare(const LoadedTable& table, std::string* what,
               std::vector<DifferingValue>* values = nullptr, DiffStatements* diff = nullptr);
  // The comparison itself: the rows of `source` against the client's
  // records as `rows` (prepared for the table) has them.
  static bool CompareRows(const RowMatcher& rows, RowSource& source, std::string* what,
                          std::vector<DifferingValue>* values = nullptr, RowDiff* diff = nullptr);

  // Keys named per kind of difference, at most.
  static constexpr int kNamed = 3;
  // Values shown per table, at most.
  static constexpr std::size_t kValues = 3;

 private:
  ServerSession& session_;
  RowMatcher rows_;
};
