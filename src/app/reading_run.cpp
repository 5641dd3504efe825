#include "app/reading_run.h"

#include <mysql.h>

#include <cstdio>

#include "app/run.h"
#include "app/server_options.h"
#include "catalogue/catalogue.h"
#include "dbc/dbc_format.h"
#include "dbc/table_descriptor.h"
#include "server/run_lock.h"
#include "server/table_record.h"

ReadingRun::ReadingRun(RunContext& run)
    : session(ConnectOptionsOf(run.options), LoadOptionsOf(run.options)), run_(run) {
  reader.SetConsole(DBCFile::Console::kNothing);
  SetRunLocale(reader, run.options);
}

bool ReadingRun::Connect(std::string* why) {
  *why = MissingClientFolder();
  if (why->empty()) *why = Open();
  if (!why->empty()) return false;
  // A signal ends a read of rows at once, not after the whole result.
  abort_.emplace(session.Socket());
  return true;
}

bool ReadingRun::ChooseSlot(const TableDescriptor& table, std::string* why) {
  const Options& options = run_.options;
  const std::optional<TableRecord> record =
      HasLocalizedColumns(table) ? RecordOf(session, table.table_name) : std::nullopt;
  if (!record) {
    SetRunLocale(reader, options);
    return true;
  }
  int slot = options.LocaleIndex();
  if (slot < 0 || slot >= static_cast<int>(kLocaleCount)) slot = 0;
  if (options.locale && !options.AutoLocale() && slot != record->slot) {
    if (!options.replace_edited) {
      *why = "loaded from " + SlotName(record->slot) + ", not -l's " + SlotName(slot) +
             ": --replace-edited reads it at -l's";
      return false;
    }
    reader.SetLocale(slot);
    return true;
  }
  reader.SetLocale(record->slot);
  return true;
}

int ReadingRun::Finish(bool ok, const std::vector<std::string>& last) {
  abort_.reset();
  session.Close();
  std::printf("Disconnect\n");
  for (const std::string& line : last) std::printf("%s\n", line.c_str());
  if (const int signal_number = PendingInterrupt()) {
    run_.report.Interrupted(signal_number, "");
    return run_.report.Finish(128 + signal_number);
  }
  return run_.report.Finish(ok ? kExitOk : kExitIncomplete);
}

std::string ReadingRun::Open() {
  const Options& options = run_.options;
  std::printf("Connecting to MySQL server: ");
  if (!session.Open(Text(options.host), Text(options.user), Text(options.password),
                    options.Port())) {
    const std::string why = session.ConnectError();
    std::printf("\n %s\n", why.c_str());
    return why;
  }
  std::printf("ok\n");
  std::string statement, why;
  if (!session.SetUp(&statement)) return "the server refused " + statement + ": " + session.Error();
  // Texts are read as they are stored: a column the user converted to
  // utf8mb4 may hold characters that utf8 would turn into '?'.
  if (!session.UseCharacterSet("utf8mb4"))
    return "the server refused SET NAMES utf8mb4: " + session.Error();
  // A node of a Galera cluster answers with what the whole cluster
  // committed, a load into another node included (elsewhere: refused, and
  // of no matter).
  session.Quietly("SET SESSION wsrep_sync_wait = 1");
  RunLock lock(*options.database);
  if (!lock.Take(session, options.LockWait(), &why)) return why;
  if (!session.UseDatabase(*options.database, &why)) return why;
  // A load through another node of a cluster is waited for too.
  if (!lock.AwaitCluster(session, options.LockWait(), &why)) return why;
  return "";
}
