// Builds a client file from a table in the database, with the client's own
// file as the template for all that the export leaves out: the fields of
// `x` columns, the other language slots and the flags of a localized text,
// the folder of a `k` path. Rows meet as RowMatcher says. What nobody
// changed keeps its bytes: a record whose exported values all equal the
// template's is the template's record; a float that prints as the
// template's keeps its bits, a text equal to the template's its offset. The
// records keep the template's order, rows it lacks follow in key order, and
// the string block is the template's with new texts after it; so a table
// nobody changed is written byte for byte as the client's file. The
// database's rows are read streaming and the file is written as they come,
// so memory holds one table, as an export does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbc/loaded_table.h"
#include "dbc/table_descriptor.h"
#include "roundtrip/row_matcher.h"
#include "roundtrip/row_source.h"
#include "server/server_session.h"

// The client file of one source of the merged rating table: the source's
// file (`source_template`, loaded) with the cells of `merged` (a file that
// Build() made of the merged table) in its records, one class or kind of
// 100 levels after another; what the merge does not read stays as it was.
std::string RatingSourceFile(const std::string& merged, const LoadedTable& source_template,
                             const RatingSource& source);

class TableWriteBack {
 public:
  explicit TableWriteBack(ServerSession& session) : session_(session) {}

  struct Counts {
    std::uint32_t records = 0;   // in the file written
    std::uint32_t changed = 0;   // of the template's, with other values
    std::uint32_t added = 0;     // rows the template lacks
    std::uint32_t left_out = 0;  // template records the database lacks
  };
  // Writes the client file of `table` (its template, loaded) into the empty
  // file `fd`. False, with *why, when the table cannot be written: a value
  // the file cannot hold (a NULL, an integer out of its column's 32-bit
  // range, a float out of a float's range, a text with a NUL byte), named
  // with its row and column; or the table cannot be read as RowMatcher
  // says.
  bool Build(const LoadedTable& table, int fd, Counts* counts, std::string* why);
  // The same from rows read from `source` (the database's, in key order).
  bool Write(const LoadedTable& table, RowSource& source, int fd, Counts* counts, std::string* why);

 private:
  // Build() and Write() once rows_ is prepared for `table`: the template's
  // records, the rows taken over them (new ones kept aside), then the
  // records moved up over those left out, the new records, the string
  // block and the header.
  bool WritePrepared(const LoadedTable& table, RowSource& source, int fd, Counts* counts,
                     std::string* why);
  bool WriteTemplate(int fd, std::string* why);
  // Reads every row: a row of a template record rewrites that record where
  // a value differs (marking it kept), another row becomes a new record in
  // *added.
  bool TakeRows(RowSource& source, int fd, std::vector<bool>* kept, std::string* added,
                Counts* counts, std::string* why);
  // Whether the key of `row` (into *key) is that of the row before
  // (*previous, then this one's): the rows come in key order, so a key the
  // database holds twice (its primary key dropped) comes twice in a row.
  bool RepeatsKey(char** row, const unsigned long* lengths, std::string* key, std::string* previous,
                  bool* first) const;
  // Sets the exported fields of `into` from `row` where a value is not the
  // template's (`n`: the template's record, or its record count for a new
  // row; *changed: whether any was set). False, with *why, when the file
  // cannot hold a value.
  bool TakeValues(std::uint8_t* into, std::uint32_t n, char** row, const unsigned long* lengths,
                  const std::vector<std::string>& folders, bool* changed, std::string* why);
  bool WriteTail(int fd, const std::vector<bool>& kept, const std::string& added, Counts* counts,
                 std::string* why);

  // Sets column j of `record` from a database value; false, with *why,
  // when the file cannot hold it. `folder`: the folder of a k path.
  bool SetField(std::size_t j, std::uint8_t* record, const char* value, unsigned long length,
                std::string_view folder, std::string* why);
  // The folder (up to the last backslash) of the text of column j in
  // record n; empty for other columns.
  std::string_view FolderOf(std::size_t j, const std::uint8_t* record) const;
  // The folder every template record's k path in column j shares, or "".
  std::string CommonFolder(std::size_t j) const;
  // The offset of the text `folder` + `name` in the file's string block,
  // appended when new.
  std::uint32_t AddString(std::string_view folder, std::string_view name);

  ServerSession& session_;
  RowMatcher rows_;
  const LoadedTable* table_ = nullptr;
  std::string added_strings_;  // after the template's block
};
