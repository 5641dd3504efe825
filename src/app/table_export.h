// The export of the chosen tables through one writer, or through several
// connections of one server run at once. Either way each table's outcome is
// reported in the catalogue's order, and the console reads
// the same: with several connections, the tables' lines are held back and
// written in that order (HeldConsole).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/run_report.h"
#include "dbc/dbcfile.h"

struct TableDescriptor;

// What became of one table.
struct TableOutcome {
  bool reached = false;  // loaded and exported, in full or not
  bool dumped = false;   // its statements were written (DumpTable())
  bool in_full = false;
  bool skipped = false;  // left as it was, unchanged since it was loaded
  Fault fault;           // why not in full
  std::uint32_t rows = 0, records = 0;
  int slot = -1;                 // of its texts, when it has localized ones
  std::uint64_t bytes = 0;       // of the script it took
  std::string hint, unstorable;  // notes for the summary
  std::string replaced;          // the table was replaced from other client bytes
};

// Loads and exports one table through `writer`. `script`: the writer writes
// a script, so texts a utf8 column cannot hold are named here. Not reached
// when the run was interrupted while the table loaded.
// `loaded`, when given, is called once the table is loaded, before its
// statements.
TableOutcome ExportTable(DBCFile& writer, const TableDescriptor& table, bool script,
                         const std::function<void()>& loaded = {});

// Whether the server refused the table for a reason that every other table
// would meet alike (no right to the database or to create or drop tables,
// no database, a read-only server, a cluster node out of its quorum): the
// run ends there rather than failing each table.
bool RefusedForEveryTable(const TableOutcome& outcome);

// Reports an outcome.
void RecordOutcome(RunReport& report, const TableDescriptor& table, const TableOutcome& outcome);

// Exports `tables` through `first` and `others` (further connections of the
// same run) at once, the largest tables first, each connection taking the
// next table when it is free. A connection that cannot go on (it was lost
// and cannot be made again, or no thread can be had for it) leaves its
// tables to the others, said on standard error; when `first`, which holds
// the run's lock, cannot go on, the run ends (*ended says why). Returns the
// tables exported.
int ExportInParallel(const std::vector<const TableDescriptor*>& tables, DBCFile& first,
                     std::vector<std::unique_ptr<DBCFile>>& others, RunReport& report,
                     std::string* ended);
