// The text of every SQL statement: database creation, table drop, table
// creation and one insert per record. All statements are formatted into
// the one statement buffer; nothing here allocates once the buffers have
// grown.
#include "sql/statement_builder.h"

#include <cstring>

#include "dbc/table_descriptor.h"
#include "port/byte_reader.h"
#include "sql/escape.h"
#include "sql/value_format.h"

namespace {

void AppendQuotedName(TextBuffer& out, const char* name) {
  out.Append('`');
  out.Append(name, std::strlen(name));
  out.Append('`');
}

}  // namespace

const char* SqlTypeOf(char type) {
  switch (type) {
    case 'u': return "int(10) unsigned";
    case 'i': return "int(11)";
    case 'f': return "float";
    default: return "text";  // t, k, s
  }
}

void StatementBuilder::SetStaging(const char* staging_suffix, const char* mark) {
  if (staging_suffix_ == staging_suffix && mark_ == mark) return;
  staging_suffix_ = staging_suffix;
  mark_ = mark;
  prepared_ = 0;
}

const std::string& StatementBuilder::SqlName() {
  Prepare();
  return sql_name_;
}

const char* StatementBuilder::EscapeString(const char* s) {
  escaped_.Clear();
  AppendEscaped(escaped_, s, std::strlen(s));
  return escaped_.CStr();
}

const char* StatementBuilder::EscapeBaseName(const char* s) {
  return EscapeString(BaseName(s, std::strlen(s)));
}

const char* StatementBuilder::BuildCreateDatabase(const char* name) {
  statement_.Clear();
  statement_.Append("CREATE DATABASE `");
  // The name is an identifier between backticks: a backtick inside it is
  // written twice, so no name can end the identifier early.
  for (const char* p = name; *p; ++p) {
    if (*p == '`') statement_.Append('`');
    statement_.Append(*p);
  }
  statement_.Append(utf8mb4_ ? "` DEFAULT CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;"
                             : "` DEFAULT CHARACTER SET utf8 COLLATE utf8_general_ci;");
  return statement_.CStr();
}

const char* StatementBuilder::BuildDropTable() {
  Prepare();
  statement_.Clear();
  statement_.Append("DROP TABLE IF EXISTS ");
  AppendQuotedName(statement_, sql_name_.c_str());
  statement_.Append(";\n");
  return statement_.CStr();
}

const char* StatementBuilder::BuildCreateTable() {
  Prepare();
  const TableDescriptor& table = *table_.Descriptor();
  statement_.Clear();
  statement_.Append("CREATE TABLE ");
  AppendQuotedName(statement_, sql_name_.c_str());
  statement_.Append("(\n");
  unsigned primary = 0;
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const ColumnDescriptor& column = table.columns[c];
    if (column.key == Key::kPrimary) ++primary;
    if (!IsExported(column.type)) continue;
    if (c != 0) statement_.Append(",\n");
    statement_.Append("  ");
    AppendQuotedName(statement_, column.name);
    statement_.Append(' ');
    statement_.Append(SqlTypeOf(column.type));
    statement_.Append(" NOT NULL");
  }
  if (primary != 0) {
    statement_.Append(",\n  PRIMARY KEY  (");
    bool first = true;
    for (std::uint32_t c = 0; c < table.column_count; ++c) {
      if (table.columns[c].key != Key::kPrimary) continue;
      if (!first) statement_.Append(", ");
      first = false;
      AppendQuotedName(statement_, table.columns[c].name);
    }
    statement_.Append(")");
  }
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const ColumnDescriptor& column = table.columns[c];
    if (column.key != Key::kIndex) continue;
    statement_.Append(",\n  KEY ");
    AppendQuotedName(statement_, column.index_name);
    statement_.Append(" (");
    AppendQuotedName(statement_, column.name);
    statement_.Append(")");
  }
  statement_.Append("\n) ENGINE=");
  statement_.Append(EngineName(engine_));
  statement_.Append(utf8mb4_ ? " DEFAULT CHARSET=utf8mb4" : " DEFAULT CHARSET=utf8");
  if (live_checksum_ && engine_ == Engine::kMyISAM) statement_.Append(" CHECKSUM=1");
  // A staging table carries the mark of the run that made it.
  if (!mark_.empty()) {
    statement_.Append(" COMMENT='");
    statement_.Append(mark_);
    statement_.Append('\'');
  }
  statement_.Append(";\n");
  return statement_.CStr();
}

void StatementBuilder::Prepare() {
  if (prepared_ == table_.Generation()) return;
  prepared_ = table_.Generation();
  sql_name_ = std::string(table_.Descriptor()->table_name) + staging_suffix_;
  insert_prefix_ = "INSERT INTO `" + sql_name_ + "` VALUES (";
  // Separator, sign, two quotes and each number, with room for the
  // eight-byte store of a small number.
  numbers_bound_ = table_.ValueSteps().size() * (8 + kMaxNumberText);
}

const char* StatementBuilder::BuildInsert(std::uint32_t n) {
  Prepare();
  statement_.Clear();
  AppendInsert(statement_, n);
  return statement_.CStr();
}

void StatementBuilder::TransactionStarts(std::vector<std::uint32_t>* starts) const {
  starts->clear();
  const std::uint32_t rows = table_.RecordCount();
  std::uint32_t in_transaction = 0;
  std::size_t bytes = 0;
  TextBuffer insert;
  for (std::uint32_t n = 0; n < rows; ++n) {
    insert.Clear();
    AppendInsert(insert, n);
    const std::size_t row = insert.size();
    if (in_transaction == 0 || in_transaction == kTransactionRows ||
        bytes + row > kTransactionBytes) {
      starts->push_back(n);
      in_transaction = 0;
      bytes = 0;
    }
    ++in_transaction;
    bytes += row;
  }
  starts->push_back(rows);
}

void StatementBuilder::AppendInsert(TextBuffer& out, std::uint32_t n) const {
  // Room for the prefix, every number and the end; each string reserves its
  // own room as it is appended.
  const std::size_t bound = insert_prefix_.size() + numbers_bound_ + 4;
  const std::size_t at = out.size();
  char* const start = out.Reserve(bound);
  std::memcpy(start, insert_prefix_.data(), insert_prefix_.size());
  // Every value is written with a leading ", "; the first one's lands on the
  // prefix's final " (", which is put back at the end.
  char* p = start + insert_prefix_.size() - 2;
  const std::uint8_t* record = table_.GetRecord(n);
  for (const LoadedTable::ValueStep& step : table_.ValueSteps()) {
    using RowValue = LoadedTable::RowValue;
    const RowValue value = table_.ValueOf(step, record);
    switch (value.kind) {
      case RowValue::kUnsigned:
      case RowValue::kSigned:
        if (value.word < kQuotedSmallNumbers.kCount) {  // also a non-negative signed value
          std::memcpy(p, kQuotedSmallNumbers.text[value.word], 8);
          p += kQuotedSmallNumbers.length[value.word];
        } else {
          std::memcpy(p, ", '", 3);
          p = value.kind == RowValue::kUnsigned
                  ? FormatUnsigned(p + 3, value.word)
                  : FormatSigned(p + 3, static_cast<std::int32_t>(value.word));
          *p++ = '\'';
        }
        break;
      case RowValue::kFloat: {
        float number;
        std::memcpy(&number, &value.word, sizeof number);
        std::memcpy(p, ", '", 3);
        p = FormatFloat(p + 3, number);
        *p++ = '\'';
        break;
      }
      case RowValue::kText:
        std::memcpy(p, ", '", 3);
        out.Commit(static_cast<std::size_t>(p + 3 - out.end()));
        AppendEscaped(out, value.text.data(), value.text.size());
        p = out.Reserve(bound);
        *p++ = '\'';
        break;
    }
  }
  *p++ = ')';
  *p++ = ';';
  *p++ = '\n';
  out.Commit(static_cast<std::size_t>(p - out.end()));
  // A string may have moved the buffer: restore the prefix by offset.
  std::memcpy(out.data() + at + insert_prefix_.size() - 2, " (", 2);
}
