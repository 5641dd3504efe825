// Writes the loaded table through the writer interface: its drop and
// creation statements, then one insert per record in file order, with a
// progress bar. The rows stop at the first insert the writer refuses.
#include "dbc/dbcfile.h"
#include "sql/progress_bar.h"

bool DBCFile::DumpTable() {
  if (!IsLoaded()) return false;
  ProgressBar bar(record_count_);
  if (!Write(BuildDropTable())) CountFault();
  if (!Write(BuildCreateTable())) CountFault();
  WriteRows(bar);
  return true;
}

void DBCFile::WriteRows(ProgressBar& bar) {
  for (std::uint32_t n = 0; n < record_count_; ++n) {
    if (!Write(BuildInsert(n))) {
      CountFault();
      return;
    }
    bar.Step();
  }
}
