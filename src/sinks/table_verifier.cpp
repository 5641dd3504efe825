#include "sinks/table_verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <tuple>

#include "dbc/table_descriptor.h"
#include "sql/value_format.h"

namespace {

// A float as the script prints it, but for the sign of a zero, which the
// server does not keep: "-0.000000" is "0.000000".
std::string FloatText(float value) {
  char text[kMaxNumberText];
  const char* end = FormatFloat(text, value);
  std::string printed(text, static_cast<std::size_t>(end - text));
  if (printed == "-0.000000") printed.erase(0, 1);
  return printed;
}

// The server's text of a FLOAT column read as a DOUBLE (its exact value),
// as the script prints it.
std::string ServerFloatText(const char* text) {
  return FloatText(static_cast<float>(std::strtod(text, nullptr)));
}

// Appends `item` to a list of at most TableVerifier::kNamed items.
void Name(std::string* list, int* count, const std::string& item) {
  if ((*count)++ < TableVerifier::kNamed) *list += (list->empty() ? "" : ", ") + item;
}

// "3 rows differ: id 7 (name), ..." for a count and its named items.
std::string Part(int count, const char* what, const std::string& named) {
  std::string part =
      std::to_string(count) + (count == 1 ? " row " : " rows ") + what + ": " + named;
  if (count > TableVerifier::kNamed) part += ", ...";
  return part;
}

}  // namespace

bool TableVerifier::ServerColumns(const std::string& table, std::vector<std::string>* names) {
  names->clear();
  if (!session_.Query("SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = "
                      "DATABASE() AND TABLE_NAME = '" +
                      table + "' ORDER BY ORDINAL_POSITION"))
    return false;
  if (MYSQL_RES* result = mysql_store_result(session_.handle())) {
    while (MYSQL_ROW row = mysql_fetch_row(result))
      if (row[0]) names->emplace_back(row[0]);
    mysql_free_result(result);
  }
  return true;
}

std::string TableVerifier::ClientValue(const LoadedTable& table, const Column& column,
                                       std::uint32_t n) const {
  const LoadedTable::RowValue value =
      table.ValueOf(table.ValueSteps()[column.step], table.GetRecord(n));
  char text[kMaxNumberText];
  switch (value.kind) {
    case LoadedTable::RowValue::kUnsigned: {
      const char* end = FormatUnsigned(text, value.word);
      return std::string(text, static_cast<std::size_t>(end - text));
    }
    case LoadedTable::RowValue::kSigned: {
      const char* end = FormatSigned(text, static_cast<std::int32_t>(value.word));
      return std::string(text, static_cast<std::size_t>(end - text));
    }
    case LoadedTable::RowValue::kFloat: {
      float number;
      std::memcpy(&number, &value.word, sizeof number);
      return FloatText(number);
    }
    case LoadedTable::RowValue::kText: break;
  }
  return std::string(value.text);
}

std::string TableVerifier::ClientKey(const LoadedTable& table, std::uint32_t n) const {
  std::string key;
  int keys = 0;
  for (const Column& column : columns_) {
    if (!column.key) continue;
    key += (keys++ ? ", " : "") + std::string(column.name) + " " + ClientValue(table, column, n);
  }
  if (keys == 0) return "row " + std::to_string(n + 1);
  return keys == 1 ? key : "(" + key + ")";
}

std::string TableVerifier::ServerKey(char** row, const unsigned long* lengths) const {
  std::string key;
  int keys = 0;
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    if (!columns_[j].key) continue;
    key += (keys++ ? ", " : "") + std::string(columns_[j].name) + " " +
           (row[j] ? std::string(row[j], lengths[j]) : "NULL");
  }
  return keys == 1 ? key : "(" + key + ")";
}

int TableVerifier::CompareKeys(const LoadedTable& table, std::uint32_t n, char** row,
                               const unsigned long* lengths) const {
  const std::uint8_t* record = table.GetRecord(n);
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    if (!columns_[j].key) continue;
    if (!row[j]) return 1;  // NULL sorts first
    const LoadedTable::RowValue value = table.ValueOf(table.ValueSteps()[columns_[j].step], record);
    int order = 0;
    switch (value.kind) {
      case LoadedTable::RowValue::kUnsigned: {
        const unsigned long long theirs = std::strtoull(row[j], nullptr, 10);
        order = value.word < theirs ? -1 : value.word > theirs ? 1 : 0;
        break;
      }
      case LoadedTable::RowValue::kSigned: {
        const long long mine = static_cast<std::int32_t>(value.word);
        const long long theirs = std::strtoll(row[j], nullptr, 10);
        order = mine < theirs ? -1 : mine > theirs ? 1 : 0;
        break;
      }
      case LoadedTable::RowValue::kFloat: {
        float mine;
        std::memcpy(&mine, &value.word, sizeof mine);
        const double theirs = std::strtod(row[j], nullptr);
        order = mine < theirs ? -1 : mine > theirs ? 1 : 0;
        break;
      }
      case LoadedTable::RowValue::kText: {
        const int c = value.text.compare(std::string_view(row[j], lengths[j]));
        order = c < 0 ? -1 : c > 0 ? 1 : 0;
        break;
      }
    }
    if (order != 0) return order;
  }
  return 0;
}

void TableVerifier::SortRecords(const LoadedTable& table) {
  order_.resize(table.RecordCount());
  for (std::uint32_t n = 0; n < order_.size(); ++n) order_[n] = n;
  // The server's order of the key: numbers by value, texts by their bytes.
  const auto before = [&](std::uint32_t a, std::uint32_t b) {
    for (const Column& column : columns_) {
      if (!column.key) continue;
      const auto& step = table.ValueSteps()[column.step];
      const LoadedTable::RowValue x = table.ValueOf(step, table.GetRecord(a));
      const LoadedTable::RowValue y = table.ValueOf(step, table.GetRecord(b));
      if (x.kind == LoadedTable::RowValue::kText) {
        if (x.text != y.text) return x.text < y.text;
      } else if (x.kind == LoadedTable::RowValue::kSigned) {
        if (x.word != y.word)
          return static_cast<std::int32_t>(x.word) < static_cast<std::int32_t>(y.word);
      } else if (x.kind == LoadedTable::RowValue::kFloat) {
        float fx, fy;
        std::memcpy(&fx, &x.word, sizeof fx);
        std::memcpy(&fy, &y.word, sizeof fy);
        if (fx != fy) return fx < fy;
      } else if (x.word != y.word) {
        return x.word < y.word;
      }
    }
    return false;
  };
  std::stable_sort(order_.begin(), order_.end(), before);
}

bool TableVerifier::Compare(const LoadedTable& table, std::string* what) {
  const TableDescriptor& descriptor = *table.Descriptor();
  const std::string name = descriptor.table_name;
  columns_.clear();
  bool keyed = false;
  for (std::uint32_t c = 0; c < descriptor.column_count; ++c) {
    const ColumnDescriptor& column = descriptor.columns[c];
    if (!IsExported(column.type)) continue;
    columns_.push_back({column.name, columns_.size(), column.key == Key::kPrimary});
    keyed = keyed || column.key == Key::kPrimary;
  }
  std::vector<std::string> names;
  if (!ServerColumns(name, &names)) {
    *what = "cannot be read: " + session_.Error();
    return false;
  }
  if (names.empty()) {
    *what = "missing from the database";
    return false;
  }
  std::string extra, missing;
  for (const std::string& server : names)
    if (std::none_of(columns_.begin(), columns_.end(),
                     [&](const Column& column) { return server == column.name; }))
      extra += (extra.empty() ? "" : ", ") + server;
  for (const Column& column : columns_)
    if (std::find(names.begin(), names.end(), column.name) == names.end())
      missing += (missing.empty() ? "" : ", ") + std::string(column.name);
  if (!extra.empty() || !missing.empty()) {
    *what = "has other columns than the catalogue's:" +
            (extra.empty() ? "" : " extra " + extra + (missing.empty() ? "" : ";")) +
            (missing.empty() ? "" : " missing " + missing);
    return false;
  }

  SortRecords(table);
  std::string sql = "SELECT ";
  for (const Column& column : columns_) {
    const char type = table.ValueSteps()[column.step].type;
    sql += std::string(&column == &columns_[0] ? "" : ", ") +
           (type == 'f' ? "CAST(`" + std::string(column.name) + "` AS DOUBLE)"
                        : "`" + std::string(column.name) + "`");
  }
  sql += " FROM `" + name + "`";
  std::string keys;
  for (const Column& column : columns_)
    if (column.key) keys += (keys.empty() ? "" : ", ") + ("`" + std::string(column.name) + "`");
  if (keyed) sql += " ORDER BY " + keys;
  if (!session_.Query(sql)) {
    *what = "cannot be read: " + session_.Error();
    return false;
  }
  MYSQL* const mysql = session_.handle();
  MYSQL_RES* result = mysql_use_result(mysql);
  if (!result) {
    session_.KeepError();
    *what = "cannot be read: " + session_.Error();
    return false;
  }
  int differ = 0, absent = 0, added = 0;
  std::string differ_named, absent_named, added_named;
  std::uint32_t next = 0;
  const auto count = static_cast<std::uint32_t>(order_.size());
  const auto compare_row = [&](std::uint32_t n, char** row, const unsigned long* lengths) {
    std::string changed;
    for (std::size_t j = 0; j < columns_.size(); ++j) {
      const char type = table.ValueSteps()[columns_[j].step].type;
      const std::string mine = ClientValue(table, columns_[j], n);
      const bool same =
          row[j] && (type == 'f' ? ServerFloatText(row[j]) == mine
                                 : std::string_view(row[j], lengths[j]) == std::string_view(mine));
      if (!same) changed += (changed.empty() ? "" : ", ") + std::string(columns_[j].name);
    }
    if (!changed.empty()) Name(&differ_named, &differ, ClientKey(table, n) + " (" + changed + ")");
  };
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    const unsigned long* lengths = mysql_fetch_lengths(result);
    if (!keyed) {
      if (next < count)
        compare_row(order_[next++], row, lengths);
      else
        Name(&added_named, &added, "row " + std::to_string(++next));
      continue;
    }
    while (next < count && CompareKeys(table, order_[next], row, lengths) < 0)
      Name(&absent_named, &absent, ClientKey(table, order_[next++]));
    if (next < count && CompareKeys(table, order_[next], row, lengths) == 0)
      compare_row(order_[next++], row, lengths);
    else
      Name(&added_named, &added, ServerKey(row, lengths));
  }
  const bool read_whole = mysql_errno(mysql) == 0;
  if (!read_whole) session_.KeepError();
  mysql_free_result(result);
  if (!read_whole) {
    *what = "cannot be read: " + session_.Error();
    return false;
  }
  while (next < count) Name(&absent_named, &absent, ClientKey(table, order_[next++]));
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
