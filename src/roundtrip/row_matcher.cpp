#include "roundtrip/row_matcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "dbc/table_descriptor.h"
#include "sql/statement_builder.h"

std::string_view RowMatcher::FloatText(float value, char* text) {
  std::string_view printed(text, static_cast<std::size_t>(FormatFloat(text, value) - text));
  if (printed == "-0.000000") printed.remove_prefix(1);
  return printed;
}

void RowMatcher::Prepare(const LoadedTable& table) {
  table_ = &table;
  const TableDescriptor& descriptor = *table.Descriptor();
  columns_.clear();
  keyed_ = false;
  for (std::uint32_t c = 0; c < descriptor.column_count; ++c) {
    const ColumnDescriptor& column = descriptor.columns[c];
    if (!IsExported(column.type)) continue;
    columns_.push_back({column.name, columns_.size(), column.key == Key::kPrimary, column.type});
    keyed_ = keyed_ || column.key == Key::kPrimary;
  }
  SortRecords();
}

namespace {

// Whether a column of the database's type (DATA_TYPE, COLUMN_TYPE) keeps a
// key of the catalogue's `type` in its order and its text: an integer of
// the same sign, a float, or a text.
bool KeepsKeyType(char type, const std::string& data_type, const std::string& column_type) {
  const bool integer = data_type == "tinyint" || data_type == "smallint" ||
                       data_type == "mediumint" || data_type == "int" || data_type == "bigint";
  const bool is_unsigned = column_type.find("unsigned") != std::string::npos;
  switch (type) {
    case 'u': return integer && is_unsigned;
    case 'i': return integer && !is_unsigned;
    case 'f': return data_type == "float" || data_type == "double";
    default: return data_type.find("text") != std::string::npos || data_type.ends_with("char");
  }
}

}  // namespace

bool RowMatcher::CheckColumns(ServerSession& session, std::string* what) const {
  RowStream columns;
  if (!columns.Open(session,
                    "SELECT COLUMN_NAME, DATA_TYPE, COLUMN_TYPE FROM information_schema.COLUMNS "
                    "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '" +
                        std::string(table_->Descriptor()->table_name) +
                        "' ORDER BY ORDINAL_POSITION",
                    what))
    return false;
  std::vector<std::string> names;
  std::string changed_key;  // a key column whose type was changed
  {
    char** row = nullptr;
    const unsigned long* lengths = nullptr;
    while (columns.Next(&row, &lengths)) {
      if (!row[0]) continue;
      names.emplace_back(row[0]);
      for (const Column& column : columns_)
        if (column.key && names.back() == column.name && changed_key.empty() &&
            !KeepsKeyType(column.type, row[1] ? row[1] : "", row[2] ? row[2] : ""))
          changed_key = "its key column " + names.back() + " is " + (row[2] ? row[2] : "") +
                        " in the database, not " + SqlTypeOf(column.type) +
                        ": its rows cannot be matched with the client's";
    }
  }
  if (!changed_key.empty()) {
    *what = changed_key;
    return false;
  }
  if (names.empty()) {
    *what = "missing from the database";
    return false;
  }
  std::string extra, missing;
  for (const std::string& name : names)
    if (std::none_of(columns_.begin(), columns_.end(),
                     [&](const Column& column) { return name == column.name; }))
      extra += (extra.empty() ? "" : ", ") + name;
  for (const Column& column : columns_)
    if (std::find(names.begin(), names.end(), column.name) == names.end())
      missing += (missing.empty() ? "" : ", ") + std::string(column.name);
  if (extra.empty() && missing.empty()) return true;
  *what = "has other columns than the catalogue's:" +
          (extra.empty() ? "" : " extra " + extra + (missing.empty() ? "" : ";")) +
          (missing.empty() ? "" : " missing " + missing);
  return false;
}

bool RowMatcher::Open(ServerSession& session, RowStream* rows, std::string* why) const {
  std::string sql = "SELECT ", keys;
  for (const Column& column : columns_) {
    const std::string name = std::string("`").append(column.name).append("`");
    if (&column != &columns_.front()) sql += ", ";
    if (table_->ValueSteps()[column.step].type == 'f')
      sql.append("CAST(").append(name).append(" AS DOUBLE)");
    else
      sql += name;
    if (column.key) keys.append(keys.empty() ? "" : ", ").append(name);
  }
  sql += " FROM `" + std::string(table_->Descriptor()->table_name) + "`";
  if (keyed_) sql += " ORDER BY " + keys;
  return rows->Open(session, sql, why);
}

std::string_view RowMatcher::ClientText(std::size_t j, std::uint32_t n, char* text) const {
  const LoadedTable::RowValue value =
      table_->ValueOf(table_->ValueSteps()[columns_[j].step], table_->GetRecord(n));
  const auto view = [text](const char* end) {
    return std::string_view(text, static_cast<std::size_t>(end - text));
  };
  switch (value.kind) {
    case LoadedTable::RowValue::kUnsigned: return view(FormatUnsigned(text, value.word));
    case LoadedTable::RowValue::kSigned:
      return view(FormatSigned(text, static_cast<std::int32_t>(value.word)));
    case LoadedTable::RowValue::kFloat: {
      float number;
      std::memcpy(&number, &value.word, sizeof number);
      return FloatText(number, text);
    }
    case LoadedTable::RowValue::kText: break;
  }
  return value.text;
}

bool RowMatcher::Same(std::size_t j, std::uint32_t n, const char* value,
                      unsigned long length) const {
  if (!value) return false;
  char mine[kMaxNumberText], theirs[kMaxNumberText];
  const std::string_view client = ClientText(j, n, mine);
  // The server's exact value of a FLOAT, printed as the script prints it.
  if (table_->ValueSteps()[columns_[j].step].type == 'f')
    return FloatText(static_cast<float>(std::strtod(value, nullptr)), theirs) == client;
  return std::string_view(value, length) == client;
}

std::string RowMatcher::DatabaseText(std::size_t j, const char* value, unsigned long length) const {
  if (!value) return "NULL";
  char text[kMaxNumberText];
  if (table_->ValueSteps()[columns_[j].step].type == 'f')
    return std::string(FloatText(static_cast<float>(std::strtod(value, nullptr)), text));
  return std::string(value, length);
}

std::string RowMatcher::ClientKey(std::uint32_t n) const {
  std::string key;
  int keys = 0;
  for (std::size_t j = 0; j < columns_.size(); ++j)
    if (columns_[j].key)
      key += (keys++ ? ", " : "") + std::string(columns_[j].name) + " " + ClientValue(j, n);
  if (keys == 0) return "row " + std::to_string(n + 1);
  return keys == 1 ? key : "(" + key + ")";
}

std::string RowMatcher::ServerKey(char** row, const unsigned long* lengths) const {
  std::string key;
  int keys = 0;
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    if (!columns_[j].key) continue;
    key += (keys++ ? ", " : "") + std::string(columns_[j].name) + " " +
           (row[j] ? std::string(row[j], lengths[j]) : "NULL");
  }
  return keys == 1 ? key : "(" + key + ")";
}

int RowMatcher::CompareKeys(std::uint32_t n, char** row, const unsigned long* lengths) const {
  const std::uint8_t* record = table_->GetRecord(n);
  const auto order = [](auto a, auto b) { return a < b ? -1 : a > b ? 1 : 0; };
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    if (!columns_[j].key) continue;
    if (!row[j]) return 1;  // NULL sorts first
    const LoadedTable::RowValue value =
        table_->ValueOf(table_->ValueSteps()[columns_[j].step], record);
    int c = 0;
    switch (value.kind) {
      case LoadedTable::RowValue::kUnsigned:
        c = order(static_cast<unsigned long long>(value.word), std::strtoull(row[j], nullptr, 10));
        break;
      case LoadedTable::RowValue::kSigned:
        c = order(static_cast<long long>(static_cast<std::int32_t>(value.word)),
                  std::strtoll(row[j], nullptr, 10));
        break;
      case LoadedTable::RowValue::kFloat: {
        float mine;
        std::memcpy(&mine, &value.word, sizeof mine);
        c = order(static_cast<double>(mine), std::strtod(row[j], nullptr));
        break;
      }
      case LoadedTable::RowValue::kText:
        c = order(value.text.compare(std::string_view(row[j], lengths[j])), 0);
        break;
    }
    if (c != 0) return c;
  }
  return 0;
}

void RowMatcher::SortRecords() {
  order_.resize(table_->RecordCount());
  for (std::uint32_t n = 0; n < order_.size(); ++n) order_[n] = n;
  if (!keyed_) return;
  // The server's order of the key: numbers by value, texts by their bytes.
  const auto before = [&](std::uint32_t a, std::uint32_t b) {
    for (const Column& column : columns_) {
      if (!column.key) continue;
      const auto& step = table_->ValueSteps()[column.step];
      const LoadedTable::RowValue x = table_->ValueOf(step, table_->GetRecord(a));
      const LoadedTable::RowValue y = table_->ValueOf(step, table_->GetRecord(b));
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
