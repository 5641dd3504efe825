#include "roundtrip/diff_statements.h"

#include <string>

#include "sql/escape.h"
#include "sql/value_format.h"

void DiffStatements::Begin(const RowMatcher& rows, std::string_view name) {
  rows_ = &rows;
  name_ = name;
  differs_ = false;
  text_.Clear();
}

void DiffStatements::Name(std::string_view name) {
  text_.Append('`');
  text_.Append(name);
  text_.Append('`');
}

void DiffStatements::Quoted(std::string_view text) {
  text_.Append('\'');
  AppendEscaped(text_, text.data(), text.size());
  text_.Append('\'');
}

void DiffStatements::DatabaseValue(std::size_t j, const char* value, unsigned long length) {
  if (!value) {
    text_.Append("NULL");
    return;
  }
  Quoted(rows_->DatabaseText(j, value, length));
}

void DiffStatements::ClientValue(std::size_t j, std::uint32_t n) {
  char text[kMaxNumberText];
  Quoted(rows_->ClientText(j, n, text));
}

void DiffStatements::WhereKey(std::uint32_t n) {
  const char* joint = " WHERE ";
  for (std::size_t j = 0; j < rows_->columns().size(); ++j) {
    if (!rows_->columns()[j].key) continue;
    text_.Append(joint);
    Name(rows_->columns()[j].name);
    text_.Append(" = ");
    ClientValue(j, n);
    joint = " AND ";
  }
}

void DiffStatements::Insert(char** row, const unsigned long* lengths) {
  text_.Append("INSERT INTO ");
  Name(name_);
  text_.Append(" VALUES (");
  for (std::size_t j = 0; j < rows_->columns().size(); ++j) {
    if (j) text_.Append(", ");
    DatabaseValue(j, row[j], lengths[j]);
  }
  text_.Append(");\n");
}

void DiffStatements::Changed(std::uint32_t n, char** row, const unsigned long* lengths,
                             const std::vector<std::size_t>& columns) {
  differs_ = true;
  if (!rows_->keyed()) return;  // (said at the end)
  text_.Append("UPDATE ");
  Name(name_);
  const char* joint = " SET ";
  for (const std::size_t j : columns) {
    text_.Append(joint);
    Name(rows_->columns()[j].name);
    text_.Append(" = ");
    DatabaseValue(j, row[j], lengths[j]);
    joint = ", ";
  }
  WhereKey(n);
  text_.Append(";\n");
}

void DiffStatements::Missing(std::uint32_t n) {
  differs_ = true;
  if (!rows_->keyed()) return;
  text_.Append("DELETE FROM ");
  Name(name_);
  WhereKey(n);
  text_.Append(";\n");
}

void DiffStatements::Extra(char** row, const unsigned long* lengths) {
  differs_ = true;
  if (rows_->keyed()) Insert(row, lengths);
}

std::string_view DiffStatements::End() {
  if (!differs_) return {};
  if (!rows_->keyed()) {
    text_.Append("-- ");
    Name(name_);
    text_.Append(" has no key to match its rows by: its differences are not written\n");
  }
  return {text_.data(), text_.size()};
}
