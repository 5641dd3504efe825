// What the tool remembers of a table it loaded, kept in the table's own
// comment on the server, so that the record follows the table wherever it
// goes (an --atomic swap renames it with its table) and replicates with it
// (a cluster replicates the ALTER that sets it), and the database holds no
// table but the catalogue's. The comment starts with the run's mark, which
// also names the staging tables of --atomic:
//
//   vesk-dbc2sql run 0a1b2c3d; file=dbc\Spell.dbc; size=83420180;
//   xxh3=5f1d...; slot=0; engine=MyISAM; charset=utf8; rows=48000; checksum=3798974421;
//   version=1.0.0; loaded=2026-12-10 00:30:00 UTC
//
// (one line). The checksum is CHECKSUM TABLE's after the load (for a table
// without a live checksum, computed from the rows sent): a table whose
// checksum no longer matches was changed on the server since.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sql/row_output.h"
#include "sql/stored_checksum.h"

class ServerSession;

struct TableRecord {
  std::string run_id;      // the run that loaded it (8 hex digits)
  std::string file;        // the client file(s), as the catalogue names them
  std::uint64_t size = 0;  // their bytes
  std::string digest;      // XXH3-64 of their bytes, 16 hex digits
  int slot = 0;            // the locale slot its texts came from
  std::string engine;      // MyISAM or InnoDB
  std::string charset;     // of its text columns: utf8 or utf8mb4 (empty: not recorded)
  std::uint64_t rows = 0;
  std::string checksum;  // CHECKSUM TABLE's value for the rows loaded
  std::string version;   // of the tool
  std::string loaded;    // when, "YYYY-MM-DD hh:mm:ss UTC"

  // The comment that holds it; `mark` is the run's mark ("vesk-dbc2sql run ").
  std::string Comment(std::string_view mark) const;
  // The record a comment holds, or none (no comment, a staging table's bare
  // mark, a comment of someone else's, a damaged one).
  static std::optional<TableRecord> Parse(std::string_view comment, std::string_view mark);
  // Whether it was made from the same client bytes, slot and engine.
  bool SameSource(const TableRecord& other) const {
    return file == other.file && size == other.size && digest == other.digest &&
           slot == other.slot && engine == other.engine && Charset() == other.Charset();
  }
  // The character set, utf8 for a record that does not name one (made
  // before records kept it, when every load was utf8 unless asked).
  std::string Charset() const { return charset.empty() ? "utf8" : charset; }
};

// The mark every record and staging table of the tool starts with:
// "vesk-dbc2sql run ".
std::string RunMark();

// The comment of the SQL table `name` in the session's database; none when
// there is no such table.
std::optional<std::string> CommentOf(ServerSession& session, const std::string& name);
// The record of the SQL table `name` in the session's database, if it has
// one.
std::optional<TableRecord> RecordOf(ServerSession& session, const std::string& name);

// "slot 8 (enCN)".
std::string SlotName(int slot);

// The run id a comment's mark carries ("0a1b2c3d"), when the comment starts
// with `mark` and its id, alone or followed by a record; empty otherwise.
std::string MarkId(std::string_view comment, std::string_view mark);

class LoadedTable;

// Keeps the records of one connection's tables: before a table is
// replaced, whether it may be (Before), and once it holds every row, its
// record (Record).
class RecordKeeper {
 public:
  // Every record it keeps starts with the run's mark and `run_id`.
  RecordKeeper(ServerSession& session, std::string run_id);

  // What to do with the SQL table `name` before the rows of `table`
  // replace it: replace it; skip it, as its record matches the client's
  // table and the server's table is unchanged (with --skip-unchanged); or
  // keep it, as it was changed on the server since it was loaded (the
  // reason in the plan; --replace-edited replaces it all the same, said on
  // standard error); so is one whose checksum cannot be had. A table
  // without a record is replaced, as ever, in the run's character set; one
  // with a record in the character set it was loaded with, unless the run
  // asks for utf8mb4. A table that holds rows is kept when the client's
  // rows hold text its character set cannot store.
  using Before = RowOutput::Before;
  using TablePlan = RowOutput::TablePlan;
  TablePlan Check(const LoadedTable& table, const std::string& name);
  // Records the table last checked in the SQL table `loaded_as` (the table,
  // or the staging table that takes its place), which holds every row now.
  // A server that refuses the record (no ALTER right) is said once on
  // standard error; the table is loaded all the same.
  void Record(const std::string& loaded_as);
  // The rows [first, first + count) of the table last checked went to the
  // server, and it kept them: the record's checksum counts them (for a
  // table without a live checksum), read while they are in memory.
  void Sent(std::uint32_t first, std::uint32_t count);
  // Whether the recorded SQL table `name` changed since it was checked
  // (while its staging table loaded): *why then says so, and it is to be
  // kept. Never with --replace-edited, nor for a table without a record.
  bool MovedSinceCheck(const std::string& name, std::string* why);

 private:
  // CHECKSUM TABLE of `name`, or empty when the server would not give it.
  std::string Checksum(const std::string& name);
  // The checksum of the SQL table `loaded_as` just loaded with the rows of
  // the table last checked: the server's, or that of the rows sent.
  std::string LoadedChecksum(const std::string& loaded_as);
  // What makes the SQL table `name` other than this run would make it: its
  // engine, or its columns' names, types, nulls, key or character set;
  // "" when nothing (or when it cannot be read: the table is replaced).
  std::string SchemaDiffers(const LoadedTable& table, const std::string& name, bool utf8mb4);
  // The plan for a recorded table whose checksum is `now`.
  TablePlan Recorded(const LoadedTable& table, const std::string& name, const TableRecord& record,
                     const std::string& now);

  ServerSession& session_;
  const std::string run_id_;
  TableRecord pending_;                 // the record of the table last checked
  const LoadedTable* table_ = nullptr;  // its rows
  StoredChecksum sent_;                 // of its rows sent so far
  // Whether the server's checksums are those of the rows sent: unknown
  // until the first table loaded tells.
  enum class Trust { kUntried, kSent, kServer } trust_ = Trust::kUntried;
  // The most rows of the table that tells it: its CHECKSUM TABLE is cheap.
  static constexpr std::uint32_t kTrialRows = 1000;
  std::string checked_;  // its live table's checksum then (a recorded one's)
};
