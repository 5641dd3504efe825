#include "sinks/bulk_insert.h"

#include <cstring>

#include "dbc/byte_reader.h"
#include "sql/escape.h"
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

bool BulkInsert::Prepare(MYSQL* mysql, const DBCFile& table, std::size_t packet_limit) {
  Close();
  if (!ServerExecutesArrays(mysql)) return false;
  stmt_ = mysql_stmt_init(mysql);
  if (!stmt_) return false;
  table_ = &table;
  packet_limit_ = packet_limit;
  std::string sql = std::string("INSERT INTO `") + table.Descriptor()->table_name + "` VALUES (";
  for (std::size_t c = 0; c < table.ValueSteps().size(); ++c) sql += c ? ", ?" : "?";
  sql += ")";
  if (mysql_stmt_prepare(stmt_, sql.c_str(), sql.size()) != 0 ||
      mysql_stmt_param_count(stmt_) != table.ValueSteps().size()) {
    Close();
    return false;
  }
  SetUp(array_);
  return true;
}

void BulkInsert::SetUp(Array& array) {
  array.columns.clear();
  for (const DBCFile::ValueStep& step : table_->ValueSteps()) {
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
  array.binds.assign(array.columns.size(), MYSQL_BIND{});
  for (std::size_t c = 0; c < array.columns.size(); ++c) {
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
}

void BulkInsert::Fill(Array& array, std::uint32_t first) const {
  const std::uint32_t rows = table_->RecordCount();
  std::uint32_t n = 0;
  std::size_t bytes = 0;
  for (std::uint32_t row = first; row < rows && n < kArrayRows; ++row, ++n) {
    const std::uint8_t* record = table_->GetRecord(row);
    std::size_t row_bytes = 0;
    for (Column& column : array.columns) {
      const std::uint32_t word = LoadLE32(record + 4 * std::size_t{column.step.field});
      switch (column.step.type) {
        case 'u':
        case 'i':
          column.numbers[n] = word;
          row_bytes += 4 + kValueOverhead;
          break;
        case 'f': {
          float value;
          std::memcpy(&value, &word, sizeof value);
          char* text = column.float_texts.get() + std::size_t{n} * kMaxNumberText;
          column.texts[n] = text;
          column.lengths[n] = static_cast<unsigned long>(FormatFloat(text, value) - text);
          row_bytes += column.lengths[n] + kValueOverhead;
          break;
        }
        default: {  // t, k, s
          const std::string_view text = table_->StringAt(word);
          const char* s = text.data();
          std::size_t length = text.size();
          if (column.step.type == 'k') {
            const char* base = BaseName(s, length);
            length -= static_cast<std::size_t>(base - s);
            s = base;
          }
          column.texts[n] = s;
          column.lengths[n] = static_cast<unsigned long>(length);
          row_bytes += length + kValueOverhead;
        }
      }
    }
    // A row larger than the limit goes alone.
    if (n > 0 && bytes + row_bytes > packet_limit_) break;
    bytes += row_bytes;
  }
  array.rows = n;
}

std::uint32_t BulkInsert::Execute(std::uint32_t first, bool* ok) {
  Fill(array_, first);
  const std::uint32_t n = array_.rows;
  unsigned int size = n;
  *ok = mysql_stmt_attr_set(stmt_, STMT_ATTR_ARRAY_SIZE, &size) == 0 &&
        mysql_stmt_bind_param(stmt_, array_.binds.data()) == 0 && mysql_stmt_execute(stmt_) == 0;
  return n;
}

void BulkInsert::Close() {
  if (stmt_) mysql_stmt_close(stmt_);
  stmt_ = nullptr;
}
