#include "roundtrip/diff_statements.h"

#include <string>

#include "sql/escape.h"
#include "sql/value_format.h"

void DiffStatements::Begin(const RowMatcher& rows, std::string_view name) {
  rows_ = &rows;
  name_ = name;
  differs_ = false;
  text_.Clear();
  whole_.Clear();
}

void DiffStatements::Name(std::string_view name) {
  out_->Append('`');
  out_->Append(name);
  out_->Append('`');
}

void DiffStatements::Quoted(std::string_view text) {
  out_->Append('\'');
  AppendEscaped(*out_, text.data(), text.size());
  out_->Append('\'');
}

void DiffStatements::DatabaseValue(std::size_t j, const char* value, unsigned long length) {
  if (!value) {
    out_->Append("NULL");
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
    out_->Append(joint);
    Name(rows_->columns()[j].name);
    out_->Append(" = ");
    ClientValue(j, n);
    joint = " AND ";
  }
}

void DiffStatements::Insert(TextBuffer& out, char** row, const unsigned long* lengths) {
  out_ = &out;
  out_->Append("INSERT INTO ");
  Name(name_);
  out_->Append(" VALUES (");
  for (std::size_t j = 0; j < rows_->columns().size(); ++j) {
    if (j) out_->Append(", ");
    DatabaseValue(j, row[j], lengths[j]);
  }
  out_->Append(");\n");
  out_ = &text_;
}

void DiffStatements::Changed(std::uint32_t n, char** row, const unsigned long* lengths,
                             const std::vector<std::size_t>& columns) {
  differs_ = true;
  if (!rows_->keyed()) return;  // the table is given whole
  out_->Append("UPDATE ");
  Name(name_);
  const char* joint = " SET ";
  for (const std::size_t j : columns) {
    out_->Append(joint);
    Name(rows_->columns()[j].name);
    out_->Append(" = ");
    DatabaseValue(j, row[j], lengths[j]);
    joint = ", ";
  }
  WhereKey(n);
  out_->Append(";\n");
}

void DiffStatements::Missing(std::uint32_t n) {
  differs_ = true;
  if (!rows_->keyed()) return;
  out_->Append("DELETE FROM ");
  Name(name_);
  WhereKey(n);
  out_->Append(";\n");
}

void DiffStatements::Extra(char** row, const unsigned long* lengths) {
  differs_ = true;
  if (rows_->keyed()) Insert(text_, row, lengths);
}

void DiffStatements::Seen(char** row, const unsigned long* lengths) {
  Insert(whole_, row, lengths);
}

std::string_view DiffStatements::End() {
  if (!differs_) return {};
  if (!rows_->keyed()) {
    text_.Clear();
    text_.Append("DELETE FROM ");
    Name(name_);
    text_.Append(";\n");
    text_.Append(std::string_view(whole_.data(), whole_.size()));
  }
  return {text_.data(), text_.size()};
}
