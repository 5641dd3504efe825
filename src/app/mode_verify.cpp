// --verify: compares each chosen table in the database with the rows of its
// client files, one line per table; changes nothing. Exit 0 when all are
// equal, 1 otherwise.
#include <string>

#include "app/modes.h"
#include "app/reading_run.h"
#include "app/run.h"
#include "catalogue/catalogue.h"
#include "roundtrip/table_verifier.h"

int VerifyTables(RunContext& run) {
  ReadingRun reading(run);
  if (std::string why; !reading.Connect(&why)) return run.report.FinishEarly(kExitIncomplete, why);
  TableVerifier verifier(reading.session);
  DBCFile& reader = reading.reader;
  for (const TableDescriptor* table : run.tables) {
    if (PendingInterrupt()) break;
    TableEntry entry{.table = table};
    std::string what;
    if (!reading.ChooseSlot(*table, &what)) {
      entry.fault = {FaultKind::kOther, what};
      what = "cannot be compared: " + what;
      entry.status = TableStatus::kFailed;
    } else if (!(IsMergedTable(*table) ? reader.LoadRatingTable(table, RatingSources())
                                       : reader.Load(table))) {
      entry.fault = reader.FaultAt(reader.ExportFaults() - 1);
      what = "cannot be compared: " + entry.fault.reason;
      entry.status = TableStatus::kFailed;
    } else {
      entry.records = reader.Table().RecordCount();
      entry.status =
          verifier.Compare(reader.Table(), &what) ? TableStatus::kEqual : TableStatus::kDiffers;
    }
    entry.line = std::string(table->table_name) + ": " + what;
    run.report.TableDone(std::move(entry));
  }
  return reading.Finish(run.report.missed() == 0);
}
