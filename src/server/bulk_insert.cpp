#include "server/bulk_insert.h"

#include <algorithm>
#include <cstring>

#include "sql/value_format.h"

namespace {

// Bytes one value takes in the bulk packet beyond its data: an indicator
// and a length prefix.
constexpr std::size_t kValueOverhead = 10;

// Whether the server is a MariaDB server that executes arrays of rows in
// one command (10.2 and later).
bool ServerExecutesArrays(MYSQL* mysql) {
  unsigned long capabilities = 0, extended = 0;
  if (mariadb_get_infov(mysql, MARIADB_CONNECTION_SERVER_CAPABILITIES, &capabilities) != 0 ||
      mariadb_get_infov(mysql, MARIADB_CONNECTION_EXTENDED_SERVER_CAPABILITIES, &extended) != 0)
    return false;
  return !(capabilities & CLIENT_MYSQL) && (extended & (MARIADB_CLIENT_STMT_BULK_OPERATIONS >> 32));
}

}  // namespace

MYSQL_STMT* BulkInsert::PrepareStatement(MYSQL* mysql, const std::string& sql, std::size_t params) {
  MYSQL_STMT* stmt = mysql_stmt_init(mysql);
  if (stmt && (mysql_stmt_prepare(stmt, sql.c_str(), sql.size()) != 0 ||
               mysql_stmt_param_count(stmt) != params)) {
    mysql_stmt_close(stmt);
    stmt = nullptr;
  }
  return stmt;
}

bool BulkInsert::Prepare(MYSQL* mysql, const LoadedTable& table, const std::string& sql_name,
                         std::size_t packet_limit) {
  Close();
  if (!ServerExecutesArrays(mysql)) return false;
  table_ = &table;
  packet_limit_ = packet_limit;
  const std::size_t columns = table.ValueSteps().size();
  std::string values = "(";
  for (std::size_t c = 0; c < columns; ++c) values += c ? ", ?" : "?";
  values += ")";
  std::string sql = "INSERT INTO `" + sql_name + "` VALUES ";
  stmt_ = PrepareStatement(mysql, sql + values, columns);
  if (!stmt_) return false;
  for (std::uint32_t r = 0; r < kRowsPerInsert; ++r) sql += (r ? ", " : "") + values;
  // Without it (too many values for one statement, say) every array goes
  // through the one-row INSERT.
  group_stmt_ = PrepareStatement(mysql, sql, columns * kRowsPerInsert);
  SetUp(array_);
  return true;
}

void BulkInsert::SetUp(Array& array) {
  array.columns.clear();
  for (const LoadedTable::ValueStep& step : table_->ValueSteps()) {
    Column column;
    column.step = step;
    if (step.type == 'u' || step.type == 'i') {
      column.numbers.resize(kArrayRows);
    } else {
      column.texts.resize(kArrayRows);
      column.lengths.resize(kArrayRows);
      if (step.type == 'f') column.float_texts.reset(new char[kArrayRows * kMaxNumberText]);
    }
    array.columns.push_back(std::move(column));
  }
  const std::size_t columns = array.columns.size();
  array.binds.assign(columns, MYSQL_BIND{});
  for (std::size_t c = 0; c < columns; ++c) {
    Column& column = array.columns[c];
    MYSQL_BIND& bind = array.binds[c];
    if (!column.numbers.empty()) {
      bind.buffer_type = MYSQL_TYPE_LONG;
      bind.buffer = column.numbers.data();
      bind.is_unsigned = column.step.type == 'u';
    } else {
      // Column-wise arrays of variable length: pointers and lengths.
      bind.buffer_type = MYSQL_TYPE_STRING;
      bind.buffer = column.texts.data();
      bind.length = column.lengths.data();
    }
  }
  // Set r of the grouped INSERT binds the same columns from their r-th
  // stretch of kArrayRows / kRowsPerInsert values.
  constexpr std::size_t kStretch = kArrayRows / kRowsPerInsert;
  array.group_binds.clear();
  for (std::uint32_t r = 0; r < kRowsPerInsert; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      MYSQL_BIND bind = array.binds[c];
      if (!array.columns[c].numbers.empty()) {
        bind.buffer = array.columns[c].numbers.data() + r * kStretch;
      } else {
        bind.buffer = array.columns[c].texts.data() + r * kStretch;
        bind.length = array.columns[c].lengths.data() + r * kStretch;
      }
      array.group_binds.push_back(bind);
    }
  }
}

void BulkInsert::Fill(Array& array, std::uint32_t first, bool grouped) const {
  const std::uint32_t rows = table_->RecordCount();
  const std::uint32_t end =
      grouped ? first + (std::min(rows - first, kArrayRows) / kRowsPerInsert) * kRowsPerInsert
              : rows;
  std::uint32_t n = 0;
  std::uint32_t taken = 0;  // rows of the array: all, or those of whole groups
  std::size_t bytes = 0;
  for (std::uint32_t row = first; row < end && n < kArrayRows; ++row, ++n) {
    const std::size_t at =
        grouped ? (n % kRowsPerInsert) * (kArrayRows / kRowsPerInsert) + n / kRowsPerInsert : n;
    const std::uint8_t* record = table_->GetRecord(row);
    std::size_t row_bytes = 0;
    for (Column& column : array.columns) {
      const LoadedTable::RowValue value = table_->ValueOf(column.step, record);
      switch (value.kind) {
        case LoadedTable::RowValue::kUnsigned:
        case LoadedTable::RowValue::kSigned:
          column.numbers[at] = value.word;
          row_bytes += 4 + kValueOverhead;
          break;
        case LoadedTable::RowValue::kFloat: {
          float number;
          std::memcpy(&number, &value.word, sizeof number);
          char* text = column.float_texts.get() + at * kMaxNumberText;
          column.texts[at] = text;
          column.lengths[at] = static_cast<unsigned long>(FormatFloat(text, number) - text);
          row_bytes += column.lengths[at] + kValueOverhead;
          break;
        }
        case LoadedTable::RowValue::kText:
          column.texts[at] = value.text.data();
          column.lengths[at] = static_cast<unsigned long>(value.text.size());
          row_bytes += value.text.size() + kValueOverhead;
          break;
      }
    }
    bytes += row_bytes;
    // Only what fits in a packet; a group only whole. A row that does not
    // fit alone is left to the statements, which refuse it.
    if (bytes > packet_limit_) break;
    if (!grouped || (n + 1) % kRowsPerInsert == 0) taken = n + 1;
  }
  array.rows = taken;
}

std::uint32_t BulkInsert::Execute(std::uint32_t first, bool* ok) {
  bool grouped = group_stmt_ && table_->RecordCount() - first >= kRowsPerInsert;
  if (grouped) {
    Fill(array_, first, true);
    grouped = array_.rows != 0;
  }
  if (!grouped) Fill(array_, first, false);
  MYSQL_STMT* stmt = grouped ? group_stmt_ : stmt_;
  const std::uint32_t n = array_.rows;
  if (n == 0) {
    *ok = false;
    return 0;
  }
  unsigned int size = grouped ? n / kRowsPerInsert : n;
  *ok =
      mysql_stmt_attr_set(stmt, STMT_ATTR_ARRAY_SIZE, &size) == 0 &&
      mysql_stmt_bind_param(stmt, grouped ? array_.group_binds.data() : array_.binds.data()) == 0 &&
      mysql_stmt_execute(stmt) == 0;
  return n;
}

void BulkInsert::Close() {
  if (stmt_) mysql_stmt_close(stmt_);
  if (group_stmt_) mysql_stmt_close(group_stmt_);
  stmt_ = nullptr;
  group_stmt_ = nullptr;
}
