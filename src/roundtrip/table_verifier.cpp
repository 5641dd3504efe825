#include "roundtrip/table_verifier.h"

#include <algorithm>
#include <string_view>
#include <tuple>

#include "port/interrupt.h"
namespace {

// Appends `item` to a list of at most TableVerifier::kNamed items.
void Name(std::string* list, int* count, const std::string& item) {
  if ((*count)++ < TableVerifier::kNamed) *list += (list->empty() ? "" : ", ") + item;
}

// "3 rows differ: id 7 (name), ..." ("1 row differs: ...") for a count and
// its named items.
std::string Part(int count, const char* what, const std::string& named) {
  const bool differ = std::string_view(what) == "differ";
  std::string part = std::to_string(count) + (count == 1 ? " row " : " rows ") + what +
                     (count == 1 && differ ? "s" : "") + ": " + named;
  if (count > TableVerifier::kNamed) part += ", ...";
  return part;
}

}  // namespace

bool TableVerifier::Compare(const LoadedTable& table, std::string* what,
                            std::vector<DifferingValue>* values, DiffStatements* diff) {
  rows_.Prepare(table);
  if (diff) diff->Begin(rows_, table.Descriptor()->table_name);
  if (!rows_.CheckColumns(session_, what)) return false;
  RowStream stream;
  if (!rows_.Open(session_, &stream, what)) return false;
  ServerRowSource source(stream);
  return CompareRows(rows_, source, what, values, diff);
}

bool TableVerifier::CompareRows(const RowMatcher& rows, RowSource& source, std::string* what,
                                std::vector<DifferingValue>* values, RowDiff* diff) {
  int differ = 0, absent = 0, added = 0;
  std::string differ_named, absent_named, added_named;
  const std::vector<std::uint32_t>& order = rows.order();
  const auto count = static_cast<std::uint32_t>(order.size());
  std::uint32_t next = 0;
  std::vector<std::size_t> columns;  // of the row that differs
  const auto compare_row = [&](std::uint32_t n, char** row, const unsigned long* lengths) {
    std::string changed;
    columns.clear();
    for (std::size_t j = 0; j < rows.columns().size(); ++j) {
      if (rows.Same(j, n, row[j], lengths[j])) continue;
      columns.push_back(j);
      changed += (changed.empty() ? "" : ", ") + std::string(rows.columns()[j].name);
      if (values && values->size() < kValues)
        values->push_back({rows.ClientKey(n), rows.columns()[j].name,
                           rows.DatabaseText(j, row[j], lengths[j]), rows.ClientValue(j, n)});
    }
    if (!changed.empty()) Name(&differ_named, &differ, rows.ClientKey(n) + " (" + changed + ")");
    if (!columns.empty() && diff) diff->Changed(n, row, lengths, columns);
  };
  const auto absent_row = [&](std::uint32_t n) {
    Name(&absent_named, &absent, rows.ClientKey(n));
    if (diff) diff->Missing(n);
  };
  const auto added_row = [&](const std::string& key, char** row, const unsigned long* lengths) {
    Name(&added_named, &added, key);
    if (diff) diff->Extra(row, lengths);
  };
  char** row;
  const unsigned long* lengths;
  while (source.Next(&row, &lengths)) {
    if (const int signal_number = PendingInterrupt()) {
      *what = InterruptedBy(signal_number);
      return false;
    }
    if (!rows.keyed()) {
      if (next < count)
        compare_row(order[next++], row, lengths);
      else
        added_row("row " + std::to_string(++next), row, lengths);
      continue;
    }
    while (next < count && rows.CompareKeys(order[next], row, lengths) < 0)
      absent_row(order[next++]);
    if (next < count && rows.CompareKeys(order[next], row, lengths) == 0)
      compare_row(order[next++], row, lengths);
    else
      added_row(rows.ServerKey(row, lengths), row, lengths);
  }
  // A signal ends a read in flight (see AbortSocketOnInterrupt).
  if (const int signal_number = PendingInterrupt()) {
    *what = InterruptedBy(signal_number);
    return false;
  }
  if (const std::string failure = source.Failure(); !failure.empty()) {
    *what = failure;
    return false;
  }
  while (next < count) absent_row(order[next++]);
  if (differ == 0 && absent == 0 && added == 0) {
    *what = "equal, " + std::to_string(count) + (count == 1 ? " row" : " rows");
    return true;
  }
  std::string parts;
  for (const auto& [n, kind, named] : {std::tuple{differ, "differ", &differ_named},
                                       {absent, "missing", &absent_named},
                                       {added, "extra", &added_named}})
    if (n) parts += (parts.empty() ? "" : "; ") + Part(n, kind, *named);
  *what = parts;
  return false;
}
