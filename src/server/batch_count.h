// What became of a batch of rows sent as one multi-statement query, from
// how many of its statements the server ran in full: each row is one
// INSERT; an InnoDB batch is one transaction (START TRANSACTION, the rows,
// COMMIT), which the first failing statement rolls back whole.
#pragma once

#include <algorithm>
#include <cstddef>

struct BatchCount {
  std::size_t applied = 0;     // rows the table keeps
  std::size_t failed_row = 0;  // of a batch that failed, the row at fault
};

// `statements`: those run in full before the server stopped (all of them
// when none failed); `rows`: the batch's rows (at least one). A failing
// COMMIT is blamed on the transaction's last row.
inline BatchCount CountBatch(std::size_t statements, std::size_t rows, bool transaction,
                             bool failed) {
  if (!transaction) return {std::min(statements, rows), std::min(statements, rows)};
  if (!failed) return {rows, 0};
  // (Its START TRANSACTION is the first statement.)
  return {0, std::min(statements > 0 ? statements - 1 : 0, rows - 1)};
}
