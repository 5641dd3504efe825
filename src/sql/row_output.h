// How a table's rows leave the program: the part of an output that the
// table export (DBCFile::DumpTable) drives. The export calls BeginRows()
// once, then asks for rows from `first` on, as many as the output likes,
// and shows and reports what came of them. Every call either takes at least
// one row or stops: an output that takes none without stopping ends the
// table as a fault, as asking it again could go on for ever. An output
// without a RowOutput of its own sends each row as one statement.
#pragma once

#include <cstdint>
#include <string>

#include "dbc/fault.h"

class StatementBuilder;
class LoadedTable;

class RowOutput {
 public:
  virtual ~RowOutput() = default;

  struct RowsSent {
    std::uint32_t applied = 0;  // rows taken by the output, from `first` on
    bool stopped = false;       // the row after them was not taken
    bool refused = false;       // ... because the server refused it
    // With `refused`: how many rows after those taken the refused one lies
    // (rows of its transaction, rolled back with it).
    std::uint32_t refused_offset = 0;
  };

  // The rows of `table`, whose statements `builder` builds, begin; `new_table`
  // when this run dropped and created the SQL table they go into.
  virtual void BeginRows(const LoadedTable& table, StatementBuilder& builder, bool new_table) = 0;
  virtual RowsSent SendRows(std::uint32_t first) = 0;
  // The rows stop before their end (the run was interrupted): waits for the
  // rows still in flight and returns how many of them the output took.
  virtual std::uint32_t StopRows() { return 0; }
  // The statements of `table` (rows or none) are done; `complete` when
  // every one of them was taken. An output that loads a staging table swaps
  // it in here; false when that is refused (the statement in `failed`), or
  // when the old table is kept instead (why in `kept`: it was edited while
  // the staging table loaded).
  struct TableEnd {
    std::string failed, kept;
  };
  virtual bool EndTable(const LoadedTable& table, StatementBuilder& builder, bool complete,
                        TableEnd* end) {
    (void)table;
    (void)builder;
    (void)complete;
    (void)end;
    return true;
  }
  // Before the statements of `table` replace the SQL table `name`: whether
  // to replace it, to leave it as it is (unchanged since it was loaded from
  // the same client table), or to keep it (changed on the server since, or
  // its rows would be lost), and how it is made.
  enum class Before { kReplace, kSkip, kKeep };
  struct TablePlan {
    Before before = Before::kReplace;
    // kKeep: why it is kept; kReplace: a line to say of it, or empty.
    std::string why;
    FaultKind kept_as = FaultKind::kEdited;  // kKeep: the table's fault
    bool utf8mb4 = false;  // its text columns are utf8mb4 (the run's or its record's)
  };
  virtual TablePlan BeforeTable(const LoadedTable& table, const std::string& name) {
    (void)table;
    (void)name;
    return {};
  }
  // Whether the tables are created with a live checksum (MyISAM's
  // CHECKSUM=1), which makes CHECKSUM TABLE cost nothing.
  virtual bool LiveChecksum() const { return false; }
  // What the output appends to a table's name for the table it loads first
  // ("" for the table itself), and the comment that marks that table.
  virtual const char* StagingSuffix() const { return ""; }
  virtual const char* StagingMark() const { return ""; }
};
