// The static description of one exported table: which client file it comes
// from, the SQL table it becomes, and how each group of 32-bit record fields
// turns into an SQL column. Descriptors are compile-time constant data; the
// reader checks files against them and the statement builder formats rows
// with them.
#pragma once

#include <cstdint>

#include "dbc/dbc_format.h"

// How a column takes part in the table's keys.
enum class Key : std::uint8_t {
  kNone,     // not part of any key
  kPrimary,  // member of the (possibly composite) primary key
  kIndex,    // carries its own secondary index, named by `index_name`
};

struct ColumnDescriptor {
  // One of u, i, f, t, k, s, x (see FieldWidth()).
  char type;
  // SQL column name, used verbatim between backticks; empty for 'x'.
  const char* name;
  Key key = Key::kNone;
  // Secondary index name when key == Key::kIndex, otherwise null.
  const char* index_name = nullptr;
};

struct TableDescriptor {
  // Client file relative to the working directory, backslash-separated
  // ("dbc\Spell.dbc"); empty for the merged rating table.
  const char* file_path;
  // SQL table name; empty for the rating table's source files.
  const char* table_name;
  std::uint32_t column_count;
  const ColumnDescriptor* columns;
};

// Number of localized string slots that a client file stores per 's' column
// (twelve languages, four unused slots and a flags word).
constexpr std::uint32_t kLocalizedFields = 17;

// 32-bit fields that one column of the given type occupies in a record.
constexpr std::uint32_t FieldWidth(char type) { return type == 's' ? kLocalizedFields : 1; }

// Whether the type produces an SQL column (everything but the skipped 'x').
constexpr bool IsExported(char type) { return type != 'x'; }

// Whether the record field(s) of this type hold a string-block offset.
constexpr bool IsString(char type) { return type == 't' || type == 'k' || type == 's'; }

// Whether the table has localized text columns (whose language slot -l
// chooses).
bool HasLocalizedColumns(const TableDescriptor& descriptor);

// Number of 32-bit fields a file's header must declare for this descriptor.
std::uint32_t ExpectedFieldCount(const TableDescriptor& descriptor);

// The level-indexed files the merged rating table is built from: each holds
// one float per record, `levels` levels per class (or rating kind) in a row,
// so that class c at level r is record c * levels + r; its `classes`
// classes become the columns from `first_column` on, one row per level.
struct RatingSource {
  const TableDescriptor* file;
  std::uint32_t classes;
  std::uint32_t first_column;
  std::uint32_t levels;
  // The records the merge reads.
  constexpr std::uint32_t Values() const { return classes * levels; }
};
