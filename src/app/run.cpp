#include "app/run.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/options.h"
#include "app/process.h"
#include "app/summary.h"
#include "catalogue/catalogue.h"
#include "port/interrupt.h"
#include "sinks/dbc_to_file.h"
#include "sinks/dbc_to_sql.h"

namespace {

const char kUsage[] =
    "Usage (extract to SQL database directly or extract to sql file):\n"
    "-l set locale (default 0)\n"
    "SQL connect settings:\n"
    " -h set SQL host address\n"
    " -o set port (use default if not set)\n"
    " -u set user\n"
    " -p set password\n"
    " -d set database (create database if not exist)\n"
    "File settings:\n"
    " -f set filename";

int Usage(int status) {
  std::fputs(kUsage, stdout);
  return status;
}

// Creates the writer the options ask for and opens its output. Null, with
// *status set (and *why, when the output failed), when there is no mode or
// the output cannot be opened.
std::unique_ptr<DBCFile> OpenWriter(const Options& options, int* status, std::string* why) {
  if (options.file) {
    auto file = std::make_unique<dbcToFILE>();
    if (!file->Open(options.file, ClientFilePaths())) {
      *status = kExitIncomplete;
      *why = file->LastFault();
      return nullptr;
    }
    return file;
  }
  if (options.host && options.user && options.password && options.database) {
    if (options.port < 0 || options.port > 65535) {
      std::printf("Port %s is out of range: it must be 0 to 65535\n", options.port_text);
      *status = kExitUsage;
      return nullptr;
    }
    auto server = std::make_unique<dbcToSQL>();
    if (!server->Connect(options.host, options.user, options.password, options.database,
                         options.port)) {
      *status = kExitIncomplete;
      *why = server->LastFault();
      return nullptr;
    }
    return server;
  }
  *status = Usage(kExitUsage);
  return nullptr;
}

}  // namespace

int RunTool(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vesk-dbc2sql %s\n", VESK_VERSION);
    return kExitOk;
  }
  std::printf("R.T. Vesk database creator\n");
  std::printf("Use DBC from client version 3.2.2\n");
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return Usage(kExitOk);

  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage(kExitUsage);
  // Keep the password, then wipe it from the visible command line.
  const std::string password = options.password ? options.password : "";
  if (options.password) options.password = password.c_str();
  HidePasswordArguments(argc, argv);
  std::printf("\n");

  RunSummary summary;
  int status = kExitOk;
  std::string why;
  // From here on a signal stops the run between rows; see InterruptGuard.
  InterruptGuard interrupts;
  std::unique_ptr<DBCFile> writer = OpenWriter(options, &status, &why);
  if (!writer) {
    if (status == kExitIncomplete) summary.PrintEarlyEnd(status, why);
    return status;
  }

  writer->SetLocale(options.locale);
  bool ok = writer->Write("SET NAMES `utf8`;\n");
  if (!ok) summary.OutputFault("SET NAMES `utf8`: " + writer->LastFault());
  const std::string hint = MissingClientFolderHint();
  if (!hint.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", hint.c_str());
  }
  int exported = 0;
  for (const TableDescriptor* table : ExportOrder()) {
    if (PendingInterrupt()) break;
    if (!writer->Ready()) {
      summary.Ended(writer->LastFault(), options.file != nullptr);
      break;
    }
    const unsigned faults = writer->ExportFaults();
    if (IsMergedTable(*table))
      writer->LoadRatingTable(table);
    else
      writer->Load(table);
    if (PendingInterrupt()) break;  // before the table is touched
    if (writer->DumpTable()) ++exported;
    summary.TableDone(*table, writer->ExportFaults() == faults, writer->LastFault());
  }
  // A run that ends without its result leaves the output as it was where it
  // can: an interrupted one always, one that exported no table when there
  // was an earlier output to keep.
  const int signal_number = PendingInterrupt();
  if (signal_number)
    summary.Interrupted(signal_number, writer->Abandon(true));
  else if (exported == 0)
    summary.Note(writer->Abandon(false));
  const unsigned faults = writer->ExportFaults();
  writer->Close();
  if (writer->ExportFaults() != faults) summary.OutputFault(writer->LastFault());
  if (!signal_number) std::printf("Complete\n\n");
  if (!ok || writer->ExportFaults() != 0) status = kExitIncomplete;
  if (signal_number) status = 128 + signal_number;
  summary.Print(status, writer->RowsWritten(), writer->BytesWritten(), options.file == nullptr);
  return status;
}
