// Program entry: makes the process safe to run (standard descriptors open),
// initialises the MySQL client library for the whole run (its string
// escaping is used in both output modes) and hands over to the run sequence;
// a run stopped by a signal ends by that signal.
#include <mysql.h>

#include "app/process.h"
#include "app/run.h"
#include "port/interrupt.h"

int main(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  mysql_library_init(0, nullptr, nullptr);
  const int status = RunTool(argc, argv);
  mysql_library_end();
  // An interrupted run ends by its signal, once it has cleaned up.
  if (const int signal_number = PendingInterrupt()) EndBySignal(signal_number);
  return status;
}
