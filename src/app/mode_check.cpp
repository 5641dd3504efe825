// --check: reads and checks every chosen table's client files as a run
// would, writing nothing and contacting no server; one line per table.
#include <cstdio>
#include <string>

#include "app/client_layout.h"
#include "app/modes.h"
#include "app/run.h"
#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"

int CheckTables(RunContext& run) {
  DBCFile reader;
  reader.SetConsole(DBCFile::Console::kNothing);
  SetRunLocale(reader, run.options);
  for (const TableDescriptor* table : run.tables) {
    const unsigned faults = reader.ExportFaults();
    const bool loaded =
        IsMergedTable(*table) ? reader.LoadRatingTable(table, RatingSources()) : reader.Load(table);
    TableEntry entry{.table = table};
    entry.status =
        loaded && reader.ExportFaults() == faults ? TableStatus::kChecked : TableStatus::kFailed;
    entry.line = std::string(table->table_name) + " (" + ClientLayout::FilesOf(*table) + "): ";
    if (entry.status == TableStatus::kChecked) {
      entry.records = entry.rows = reader.Table().RecordCount();
      // As a load would, the check says where a table's texts are.
      run.report.Note(reader.Table().EmptySlotHint());
      entry.line += std::to_string(entry.rows) + " rows, ok";
    } else {
      entry.fault = reader.FaultAt(reader.ExportFaults() - 1);
      entry.status = FailedFor(entry.fault);
      entry.line += entry.fault.reason;
    }
    run.report.TableDone(std::move(entry));
  }
  const int status = run.report.in_full() == run.report.total() ? kExitOk : kExitIncomplete;
  return run.report.Finish(status);
}
