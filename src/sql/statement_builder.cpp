// The text of every SQL statement: database creation, table drop, table
// creation and one insert per record. All statements are formatted into
// the one statement buffer, all escaped strings with the client library's
// escaping; nothing here allocates once the buffers have grown.
#include <mysql.h>

#include <cstring>

#include "dbc/byte_reader.h"
#include "dbc/dbcfile.h"
#include "sql/value_format.h"

namespace {

// Column definition of an exported column, after its backticked name.
const char* ColumnType(char type) {
  switch (type) {
    case 'u': return " int(10) unsigned NOT NULL";
    case 'i': return " int(11) NOT NULL";
    case 'f': return " float NOT NULL";
    default: return " text NOT NULL";  // t, k, s
  }
}

void AppendQuotedName(TextBuffer& out, const char* name) {
  out.Append('`');
  out.Append(name, std::strlen(name));
  out.Append('`');
}

// Start of the last path component: after the last backslash among all but
// the final character.
const char* BaseName(const char* s, std::size_t length) {
  for (std::size_t i = length > 0 ? length - 1 : 0; i > 0; --i)
    if (s[i - 1] == '\\') return s + i;
  return s;
}

}  // namespace

void DBCFile::AppendEscaped(const char* s, std::size_t length) {
  char* out = statement_.Reserve(2 * length + 1);
  statement_.Commit(mysql_escape_string(out, s, static_cast<unsigned long>(length)));
}

const char* DBCFile::EscapeString(const char* s) {
  const std::size_t length = std::strlen(s);
  escaped_.Clear();
  char* out = escaped_.Reserve(2 * length + 1);
  escaped_.Commit(mysql_escape_string(out, s, static_cast<unsigned long>(length)));
  return escaped_.CStr();
}

const char* DBCFile::EscapeBaseName(const char* s) {
  return EscapeString(BaseName(s, std::strlen(s)));
}

const char* DBCFile::BuildCreateDatabase(const char* name) {
  statement_.Clear();
  statement_.Append("CREATE DATABASE `");
  // The name is an identifier between backticks: a backtick inside it is
  // written twice, so no name can end the identifier early.
  for (const char* p = name; *p; ++p) {
    if (*p == '`') statement_.Append('`');
    statement_.Append(*p);
  }
  statement_.Append("` DEFAULT CHARACTER SET utf8 COLLATE utf8_general_ci;");
  return statement_.CStr();
}

const char* DBCFile::BuildDropTable() {
  statement_.Clear();
  statement_.Append("DROP TABLE IF EXISTS ");
  AppendQuotedName(statement_, descriptor_->table_name);
  statement_.Append(";\n");
  return statement_.CStr();
}

const char* DBCFile::BuildCreateTable() {
  const TableDescriptor& table = *descriptor_;
  statement_.Clear();
  statement_.Append("CREATE TABLE ");
  AppendQuotedName(statement_, table.table_name);
  statement_.Append("(\n");
  unsigned primary = 0;
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const ColumnDescriptor& column = table.columns[c];
    if (column.key == Key::kPrimary) ++primary;
    if (!IsExported(column.type)) continue;
    if (c != 0) statement_.Append(",\n");
    statement_.Append("  ");
    AppendQuotedName(statement_, column.name);
    statement_.Append(ColumnType(column.type));
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
  statement_.Append("\n) ENGINE=MyISAM DEFAULT CHARSET=utf8;\n");
  return statement_.CStr();
}

const char* DBCFile::BuildInsert(std::uint32_t n) {
  const TableDescriptor& table = *descriptor_;
  statement_.Clear();
  statement_.Append("INSERT INTO ");
  AppendQuotedName(statement_, table.table_name);
  statement_.Append(" VALUES (");
  const std::uint8_t* field = GetRecord(n);
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const char type = table.columns[c].type;
    if (!IsExported(type)) {
      field += 4;
      continue;
    }
    if (c != 0) statement_.Append(", ");
    if (IsString(type)) {
      const std::uint32_t at = type == 's' ? locale_ : 0;
      // Offsets were checked at load: the string ends inside the block.
      const char* s = strings_ + LoadLE32(field + 4 * at);
      const std::size_t length = std::strlen(s);
      statement_.Append('\'');
      if (type == 'k') {
        const char* base = BaseName(s, length);
        AppendEscaped(base, length - static_cast<std::size_t>(base - s));
      } else {
        AppendEscaped(s, length);
      }
      statement_.Append('\'');
    } else {
      char* out = statement_.Reserve(kMaxNumberText + 2);
      char* end = out;
      *end++ = '\'';
      const std::uint32_t word = LoadLE32(field);
      if (type == 'u') {
        end = FormatUnsigned(end, word);
      } else if (type == 'i') {
        end = FormatSigned(end, static_cast<std::int32_t>(word));
      } else {
        float value;
        std::memcpy(&value, &word, sizeof value);
        end = FormatFloat(end, value);
      }
      *end++ = '\'';
      statement_.Commit(static_cast<std::size_t>(end - out));
    }
    field += 4 * FieldWidth(type);
  }
  statement_.Append(");\n");
  return statement_.CStr();
}
