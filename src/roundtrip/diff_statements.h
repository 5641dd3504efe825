// The statements that turn a client table's rows into the database's, as
// --verify's comparison finds them (--diff-sql): an UPDATE of only the
// columns that differ, by the key; an INSERT of every column of a row the
// database added; a DELETE of a row it removed. (Every table of the
// catalogue has a key; one without could not be matched by it, and gets a
// comment that says so.) Values are
// written as the script writes them (quoted, escaped as mysql_escape_string
// escapes), so that the file applies with the mariadb client to a fresh
// load of the client, and keeps a client update's changes in every column
// the database did not change.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "port/text_buffer.h"
#include "roundtrip/row_matcher.h"

// What a comparison meets, row by row (TableVerifier::CompareRows).
class RowDiff {
 public:
  virtual ~RowDiff() = default;
  // Record n of the client and the database's row of its key differ in
  // `columns` (indexes of RowMatcher::columns()).
  virtual void Changed(std::uint32_t n, char** row, const unsigned long* lengths,
                       const std::vector<std::size_t>& columns) = 0;
  // Record n of the client has no row in the database.
  virtual void Missing(std::uint32_t n) = 0;
  // A row of the database that the client does not have.
  virtual void Extra(char** row, const unsigned long* lengths) = 0;
};

class DiffStatements : public RowDiff {
 public:
  // Begins the statements of the SQL table `name`, whose rows `rows` has
  // prepared (it must outlive the table's statements).
  void Begin(const RowMatcher& rows, std::string_view name);
  void Changed(std::uint32_t n, char** row, const unsigned long* lengths,
               const std::vector<std::size_t>& columns) override;
  void Missing(std::uint32_t n) override;
  void Extra(char** row, const unsigned long* lengths) override;
  // The table's statements once compared: none when it is equal.
  std::string_view End();

 private:
  void Name(std::string_view name);
  // The value of column j, as the script writes it (NULL unquoted).
  void DatabaseValue(std::size_t j, const char* value, unsigned long length);
  void ClientValue(std::size_t j, std::uint32_t n);
  void Quoted(std::string_view text);
  // " WHERE `k` = 'v' AND ..." for record n's key.
  void WhereKey(std::uint32_t n);
  void Insert(char** row, const unsigned long* lengths);

  const RowMatcher* rows_ = nullptr;
  std::string_view name_;
  bool differs_ = false;
  TextBuffer text_;
};
