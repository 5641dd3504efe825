// The export: every chosen table through a writer, into a script (-f) or a
// server, and with --parallel through several connections of one server
// run at once.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/modes.h"
#include "app/run.h"
#include "app/server_options.h"
#include "app/table_export.h"
#include "catalogue/catalogue.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "sinks/dbc_to_file.h"
#include "sinks/dbc_to_sql.h"

namespace {

// Creates the writer the options ask for and opens its output. Null, with
// why, when the output cannot be opened.
std::unique_ptr<DBCFile> OpenWriter(const RunContext& run, std::string* why) {
  const Options& options = run.options;
  if (options.file) {
    auto file = std::make_unique<dbcToFILE>();
    if (file->Open(options.file->c_str(), ClientFilePaths(), run.script_fd)) return file;
    *why = file->LastFault();
    return nullptr;
  }
  auto server =
      std::make_unique<dbcToSQL>(ConnectOptionsOf(options), LoadOptionsOf(options), run.run_id);
  server->SetUtf8mb4(options.utf8mb4);  // a database it creates too
  if (server->Connect(Text(options.host), Text(options.user), Text(options.password),
                      options.database->c_str(), options.Port()))
    return server;
  *why = server->LastFault();
  return nullptr;
}

// The further connections of a parallel server run, made before any table,
// each set up like the first; one that cannot be made (the server's
// max_connections reached) is said on standard error, and the run goes on
// with those there are.
std::vector<std::unique_ptr<DBCFile>> MoreConnections(const Options& options, DBCFile& writer,
                                                      std::size_t tables) {
  std::vector<std::unique_ptr<DBCFile>> others;
  auto* server = dynamic_cast<dbcToSQL*>(&writer);
  const std::size_t wanted = std::min<std::size_t>(options.Parallel(), tables);
  if (!server || wanted < 2 || writer.ExportFaults() != 0) return others;
  for (std::size_t n = 2; n <= wanted; ++n) {
    std::string why;
    std::unique_ptr<dbcToSQL> sibling = server->Sibling(&why);
    if (!sibling) {
      Warn("connection " + std::to_string(n) + " of --parallel=" +
           std::to_string(options.Parallel()) + " cannot be made (" + why + "); the tables go on " +
           std::to_string(n - 1) + (n == 2 ? " connection" : " connections"));
      break;
    }
    sibling->SetConsole(DBCFile::Console::kNothing);  // no locale line of its own
    SetRunLocale(*sibling, options);
    sibling->SetEngine(options.TableEngine());
    sibling->SetUtf8mb4(options.utf8mb4);
    sibling->SetConsole(options.quiet ? DBCFile::Console::kNothing : DBCFile::Console::kAll);
    sibling->SetProgress(!options.no_progress);
    others.push_back(std::move(sibling));
  }
  return others;
}

// Sets the writer up and writes the session's character set. A database
// that cannot be used ends a server run before its first table (true in
// *unusable); no client folder fails every table of a script: the report
// names it first. False when there is nothing to export with.
bool Prepare(const RunContext& run, DBCFile& writer, bool* names_ok, bool* unusable) {
  const Options& options = run.options;
  SetRunLocale(writer, options);
  writer.SetEngine(options.TableEngine());
  writer.SetUtf8mb4(options.utf8mb4);
  const char* const names = options.utf8mb4 ? "SET NAMES `utf8mb4`;\n" : "SET NAMES `utf8`;\n";
  *names_ok = writer.Write(names);
  if (!*names_ok)
    run.report.OutputFault(std::string(names, std::strlen(names) - 2) + ": " + writer.LastFault());
  *unusable = !options.file && writer.ExportFaults() != 0;
  if (writer.ExportFaults() != 0 && !*unusable) run.report.Cause(writer.LastFault());
  const std::string folder = MissingClientFolder();
  if (!folder.empty()) {
    Warn(folder);
    run.report.Cause(folder);
  }
  if (*unusable) run.report.Ended(writer.LastFault(), false);
  return folder.empty() && !*unusable;
}

// The tables one by one through `writer`; the tables exported.
int ExportInTurn(const RunContext& run, DBCFile& writer) {
  // (utf8mb4 holds every text a client file can have.)
  const bool script = run.options.file.has_value();
  int exported = 0;
  for (const TableDescriptor* table : run.tables) {
    if (PendingInterrupt()) break;
    if (!writer.Ready()) {
      run.report.Ended(writer.LastFault(), script);
      break;
    }
    const TableOutcome outcome = ExportTable(writer, *table, script && !run.options.utf8mb4);
    if (!outcome.reached) break;
    exported += outcome.dumped;
    RecordOutcome(run.report, *table, outcome);
    if (RefusedForEveryTable(outcome)) {
      run.report.Ended(outcome.fault.reason, false);
      break;
    }
  }
  return exported;
}

// Whether the writer met a fault that fails the run: any but an edited
// table kept as the run asks (--keep-edited).
bool Failed(const RunContext& run, const DBCFile& writer) {
  for (unsigned n = 0; n < writer.ExportFaults(); ++n)
    if (!run.report.keeps_edited() || writer.FaultAt(n).kind != FaultKind::kEdited) return true;
  return false;
}

// Closes the further connections, and leaves the outputs as they were
// where it can when the run ends without its result: an interrupted one
// always, one that exported no table when there was an earlier output to
// keep. The rows all connections took; *failed when one of the others
// failed.
std::uint64_t CloseOthers(const RunContext& run, DBCFile& writer,
                          std::vector<std::unique_ptr<DBCFile>>& others, int exported,
                          bool* failed) {
  const int signal_number = PendingInterrupt();
  const bool without_result = signal_number || exported == 0;
  // (Abandon() discards a script: asked only of a run without its result.)
  std::string abandoned = without_result ? writer.Abandon(true) : "";
  std::uint64_t rows = writer.RowsWritten();
  for (std::unique_ptr<DBCFile>& other : others) {
    if (without_result) {
      const std::string more = other->Abandon(true);
      if (!more.empty()) abandoned += (abandoned.empty() ? "" : "; ") + more;
    }
    rows += other->RowsWritten();
    *failed = *failed || Failed(run, *other);
    other->Close();
  }
  if (signal_number)
    run.report.Interrupted(signal_number, abandoned);
  else if (exported == 0)
    run.report.Cause(abandoned);
  return rows;
}

// Exports every chosen table through `writer` (and the further connections
// of --parallel), and reports the end.
int Export(const RunContext& run, DBCFile& writer) {
  bool names_ok = true, unusable = false;
  const bool go = Prepare(run, writer, &names_ok, &unusable);
  std::vector<std::unique_ptr<DBCFile>> others =
      go ? MoreConnections(run.options, writer, run.tables.size())
         : std::vector<std::unique_ptr<DBCFile>>{};
  int exported = 0;
  if (go && !others.empty()) {
    std::string ended;
    exported = ExportInParallel(run.tables, writer, others, run.report, &ended);
    if (!ended.empty()) run.report.Ended(ended, false);
  } else if (!unusable) {
    exported = ExportInTurn(run, writer);
  }
  bool others_failed = false;
  const std::uint64_t rows = CloseOthers(run, writer, others, exported, &others_failed);
  const unsigned faults = writer.ExportFaults();
  writer.Close();
  if (writer.ExportFaults() != faults) {
    const DBCFile::Fault& fault = writer.FaultAt(faults);
    if (fault.output_kept)
      run.report.Cause(fault.reason);
    else
      run.report.OutputFault(fault.reason);
  }
  const int signal_number = PendingInterrupt();
  if (!signal_number) std::printf("Complete\n\n");
  int status = !names_ok || Failed(run, writer) || others_failed ? kExitIncomplete : kExitOk;
  if (signal_number) status = 128 + signal_number;
  return run.report.Finish(status, rows, writer.BytesWritten());
}

}  // namespace

int ExportTables(RunContext& run) {
  const Options& options = run.options;
  run.report.SetOutput(options.file ? "script" : "server");
  run.report.KeepsOldRows(options.atomic);
  run.report.KeepsEdited(options.keep_edited);
  // A server is not even connected to without a client folder: nothing
  // would be exported, but the database would be created.
  if (const std::string folder = MissingClientFolder(); !options.file && !folder.empty())
    return run.report.FinishEarly(kExitIncomplete, folder);
  // From here on a signal stops the run between rows; see InterruptGuard.
  InterruptGuard interrupts;
  std::string why;
  std::unique_ptr<DBCFile> writer = OpenWriter(run, &why);
  if (!writer)
    return run.report.FinishEarly(PendingInterrupt() ? 128 + PendingInterrupt() : kExitIncomplete,
                                  why);
  if (options.quiet) writer->SetConsole(DBCFile::Console::kNothing);
  writer->SetProgress(!options.no_progress);
  return Export(run, *writer);
}
