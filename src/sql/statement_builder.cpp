// The text of every SQL statement: database creation, table drop, table
// creation and one insert per record. All statements are formatted into
// the one statement buffer, all escaped strings with the client library's
// escaping; nothing here allocates once the buffers have grown.
#include <mysql.h>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The client library escapes byte by byte (no multi-byte sequence of valid
// UTF-8 contains a byte it escapes), so the escape of each byte is asked of
// the library once, and runs of bytes it leaves alone are copied as they are.
struct EscapeTable {
  bool special[256] = {};
  char text[256][4] = {};
  std::uint8_t length[256] = {};

  EscapeTable() {
    for (unsigned char c : {'\0', '\n', '\r', '\\', '\'', '"', '\x1A'}) {
      const char byte = static_cast<char>(c);
      char escaped[3];  // the library writes at most 2 * 1 + 1 bytes
      length[c] = static_cast<std::uint8_t>(mysql_escape_string(escaped, &byte, 1));
      std::memcpy(text[c], escaped, length[c]);
      special[c] = true;
    }
  }
};

// Index of the first byte at or after `from` that needs escaping, or length.
std::size_t NextSpecial(const char* s, std::size_t from, std::size_t length,
                        const EscapeTable& escapes) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i nul = _mm_setzero_si128(), lf = _mm_set1_epi8('\n'),
                cr = _mm_set1_epi8('\r'), bs = _mm_set1_epi8('\\'),
                sq = _mm_set1_epi8('\''), dq = _mm_set1_epi8('"'),
                sub = _mm_set1_epi8('\x1A');
  for (; i + 16 <= length; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, lf)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, bs))),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, sq), _mm_cmpeq_epi8(v, dq)),
                     _mm_cmpeq_epi8(v, sub)));
    if (const int mask = _mm_movemask_epi8(hit)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#endif
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  for (; i < length; ++i)
    if (escapes.special[p[i]]) return i;
  return length;
}

void EscapeInto(TextBuffer& out, const char* s, std::size_t length) {
  static const EscapeTable escapes;  // built on first use, after library start-up
  char* const start = out.Reserve(2 * length + 1);
  char* to = start;
  std::size_t run = 0;
  for (std::size_t i = NextSpecial(s, 0, length, escapes); i < length;
       i = NextSpecial(s, i + 1, length, escapes)) {
    std::memcpy(to, s + run, i - run);
    to += i - run;
    const auto byte = static_cast<unsigned char>(s[i]);
    // The library's contract: an escape is at most two bytes.
    std::memcpy(to, escapes.text[byte], escapes.length[byte]);
    to += escapes.length[byte];
    run = i + 1;
  }
  std::memcpy(to, s + run, length - run);
  to += length - run;
  out.Commit(static_cast<std::size_t>(to - start));
}

// Start of the last path component: after the last backslash among all but
// the final character.
const char* BaseName(const char* s, std::size_t length) {
  for (std::size_t i = length > 0 ? length - 1 : 0; i > 0; --i)
    if (s[i - 1] == '\\') return s + i;
  return s;
}

}  // namespace

const char* DBCFile::EscapeString(const char* s) {
  escaped_.Clear();
  EscapeInto(escaped_, s, std::strlen(s));
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

void DBCFile::PrepareInsert() {
  const TableDescriptor& table = *descriptor_;
  insert_prefix_ = std::string("INSERT INTO `") + table.table_name + "` VALUES (";
  insert_steps_.clear();
  string_fields_.clear();
  numbers_bound_ = 0;
  std::uint32_t field = 0;
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const char type = table.columns[c].type;
    if (IsExported(type)) {
      insert_steps_.push_back({type, field + (type == 's' ? locale_ : 0)});
      if (IsString(type)) string_fields_.push_back(insert_steps_.back().field);
      // Separator, sign, two quotes and the number, with room for the
      // eight-byte store of a small number.
      numbers_bound_ += 8 + kMaxNumberText;
    }
    field += FieldWidth(type);
  }
}

namespace {

// The texts ", '0'" to ", '999'": a value with its separator and quotes,
// the bulk of every row, written with one store.
struct QuotedSmallNumbers {
  char text[1000][8] = {};
  std::uint8_t length[1000] = {};
  constexpr QuotedSmallNumbers() {
    for (std::uint32_t v = 0; v < 1000; ++v) {
      const std::uint32_t entry = value_format_detail::kSmallNumbers.entry[v];
      const std::uint32_t digits = entry >> 24;
      char* t = text[v];
      *t++ = ',';
      *t++ = ' ';
      *t++ = '\'';
      for (std::uint32_t d = 0; d < digits; ++d) *t++ = static_cast<char>(entry >> (8 * d));
      *t++ = '\'';
      length[v] = static_cast<std::uint8_t>(t - text[v]);
    }
  }
};
constexpr QuotedSmallNumbers kQuotedSmall;

}  // namespace

const char* DBCFile::BuildInsert(std::uint32_t n) {
  // Room for the prefix, every number and the end; each string reserves its
  // own room as it is appended.
  const std::size_t bound = insert_prefix_.size() + numbers_bound_ + 4;
  statement_.Clear();
  char* const start = statement_.Reserve(bound);
  std::memcpy(start, insert_prefix_.data(), insert_prefix_.size());
  // Every value is written with a leading ", "; the first one's lands on the
  // prefix's final " (", which is put back at the end.
  char* p = start + insert_prefix_.size() - 2;
  const std::uint8_t* record = GetRecord(n);
  for (const ValueStep& step : insert_steps_) {
    std::uint32_t word = LoadLE32(record + 4 * std::size_t{step.field});
    switch (step.type) {
      case 'u':
      case 'i':
        if (word < 1000) {  // also a non-negative signed value
          std::memcpy(p, kQuotedSmall.text[word], 8);
          p += kQuotedSmall.length[word];
        } else {
          std::memcpy(p, ", '", 3);
          p = step.type == 'u' ? FormatUnsigned(p + 3, word)
                               : FormatSigned(p + 3, static_cast<std::int32_t>(word));
          *p++ = '\'';
        }
        break;
      case 'f': {
        float value;
        std::memcpy(&value, &word, sizeof value);
        std::memcpy(p, ", '", 3);
        p = FormatFloat(p + 3, value);
        *p++ = '\'';
        break;
      }
      default: {  // t, k, s: offsets were checked at load, the string ends in the block
        const char* s = strings_ + word;
        const std::size_t length = std::strlen(s);
        const char* text = step.type == 'k' ? BaseName(s, length) : s;
        std::memcpy(p, ", '", 3);
        statement_.Commit(static_cast<std::size_t>(p + 3 - statement_.end()));
        EscapeInto(statement_, text, length - static_cast<std::size_t>(text - s));
        p = statement_.Reserve(bound);
        *p++ = '\'';
        break;
      }
    }
  }
  *p++ = ')';
  *p++ = ';';
  *p++ = '\n';
  statement_.Commit(static_cast<std::size_t>(p - statement_.end()));
  // A string may have moved the buffer: restore the prefix by offset.
  std::memcpy(statement_.data() + insert_prefix_.size() - 2, " (", 2);
  return statement_.CStr();
}
