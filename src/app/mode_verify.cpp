// --verify: compares each chosen table in the database with the rows of its
// client files, one line per table; changes nothing. Exit 0 when all are
// equal, 1 otherwise.
#include <string>
#include <string_view>

#include "app/modes.h"
#include "app/reading_run.h"
#include "app/run.h"
#include "catalogue/catalogue.h"
#include "dbc/utf8.h"
#include "roundtrip/table_verifier.h"

namespace {

// `value` quoted, cut to `width` columns with "..." (never inside a
// character); NULL as it is.
std::string Shown(const std::string& value, std::size_t width) {
  if (value == "NULL") return value;
  if (CharacterCount(value) + 2 <= width) return '"' + value + '"';
  std::string cut;
  std::size_t n = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const bool starts = StartsCharacter(value[i]);
    if (starts && n + 5 >= width) break;  // room for the quotes and "..."
    n += starts;
    cut += value[i];
  }
  return '"' + cut + "...\"";
}

}  // namespace

std::string ValueLine(const DifferingValue& value) {
  const std::string head = "  " + value.key + " " + value.column + ": database ";
  constexpr std::size_t kLine = 80;
  const std::size_t fixed = CharacterCount(head) + std::string_view(", client ").size();
  // Each value gets half the room left, 12 columns at least.
  const std::size_t room = fixed + 24 < kLine ? (kLine - fixed) / 2 : 12;
  return head + Shown(value.database, room) + ", client " + Shown(value.client, room);
}

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
      entry.status = FailedFor(entry.fault);
    } else {
      entry.records = reader.Table().RecordCount();
      if (reader.Table().HasLocalizedTexts())
        entry.slot = static_cast<int>(reader.Table().Locale());
      entry.status = verifier.Compare(reader.Table(), &what, &entry.values) ? TableStatus::kEqual
                                                                            : TableStatus::kDiffers;
      for (const DifferingValue& value : entry.values) entry.details.push_back(ValueLine(value));
    }
    entry.line = std::string(table->table_name) + ": " + what;
    run.report.TableDone(std::move(entry));
  }
  return reading.Finish(run.report.missed() == 0);
}
