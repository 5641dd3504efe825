#include "app/reading_run.h"

#include <mysql.h>

#include <cstdio>

#include "app/run.h"
#include "app/server_options.h"
#include "catalogue/catalogue.h"
#include "server/run_lock.h"

ReadingRun::ReadingRun(RunContext& run)
    : session(ConnectOptionsOf(run.options), LoadOptionsOf(run.options)), run_(run) {
  reader.SetConsole(DBCFile::Console::kNothing);
  reader.SetLocale(run.options.LocaleIndex());
}

bool ReadingRun::Connect(std::string* why) {
  *why = MissingClientFolder();
  if (why->empty()) *why = Open();
  if (!why->empty()) return false;
  // A signal ends a read of rows at once, not after the whole result.
  abort_.emplace(static_cast<int>(mysql_get_socket(session.handle())));
  return true;
}

int ReadingRun::Finish(bool ok) {
  abort_.reset();
  session.Close();
  std::printf("Disconnect\n");
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
  if (mysql_set_character_set(session.handle(), "utf8mb4") != 0)
    return std::string("the server refused SET NAMES utf8mb4: ") + mysql_error(session.handle());
  // A node of a Galera cluster answers with what the whole cluster
  // committed, a load into another node included (elsewhere: refused, and
  // of no matter).
  session.Quietly("SET SESSION wsrep_sync_wait = 1");
  RunLock lock(*options.database);
  if (!lock.Take(session, options.LockWait(), &why)) return why;
  if (mysql_select_db(session.handle(), options.database->c_str()) != 0)
    return "database " + *options.database + " cannot be used: " + mysql_error(session.handle());
  // A load through another node of a cluster is waited for too.
  if (!lock.AwaitCluster(session, options.LockWait(), &why)) return why;
  return "";
}
