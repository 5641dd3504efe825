// The modes of a run, one row each: the option that chooses it, whether it
// runs before an output is chosen (it reads only the client files) or
// after, the function that runs it, and the options it cannot go with. The
// run's driver (run.cpp) picks the first row whose option is given, checks
// the row's exclusions, and hands over. Each mode lives in a file of its
// own (mode_*.cpp) and reports what it did into the run's RunReport.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/run_report.h"

class DBCFile;
struct TableDescriptor;

// What a mode is handed.
struct RunContext {
  Options& options;
  const std::vector<const TableDescriptor*>& tables;  // chosen, in catalogue order
  RunReport& report;
  int script_fd = -1;  // standard output, taken over for a script; -1 for none
  std::string run_id;  // shared by everything the run leaves on a server
};

// An option a mode cannot go with: when `given` says so, `mistake` is said
// and the run ends with exit status 2.
struct ModeExclusion {
  bool (*given)(const Options&);
  const char* mistake;
};

struct ModeRow {
  ModeWords words;   // its name, and how its run is said
  const char* flag;  // the option that chooses it, null for the default
  bool (*chosen)(const Options&);
  enum class Start { kBeforeOutput, kAfterOutput } start;
  bool banner;  // the banner and a blank line come first
  int (*run)(RunContext&);
  std::span<const ModeExclusion> excludes;
  // Further checks of its options: the mistake, or "" when they are right
  // (null: none).
  std::string (*check)(const Options&);
};

// Every mode, in the order they are tried; the last is the default.
std::span<const ModeRow> ModeTable();
// The mode the options choose.
const ModeRow& ChosenMode(const Options& options);

// Sets `reader` to the run's locale: -l N, or -l auto.
void SetRunLocale(DBCFile& reader, const Options& options);

// The modes, each in its own file.
int ListTables(RunContext& run);         // mode_list.cpp
int CheckTables(RunContext& run);        // mode_check.cpp
int VerifyTables(RunContext& run);       // mode_verify.cpp
int WriteClientFiles(RunContext& run);   // mode_write_dbc.cpp
int WritePatchArchive(RunContext& run);  // mode_patch_archive.cpp
int ExportTables(RunContext& run);       // mode_export.cpp
// A value --verify found different, database and client side by side,
// in 80 columns when its key and column leave room.
std::string ValueLine(const DifferingValue& value);  // mode_verify.cpp
// The line of a file that was not written durably (`why`): "written, but
// ..." when it is in place all the same (`in_place`), else "not written:
// ...".
std::string NotDurableLine(const std::string& why, bool in_place);  // mode_write_dbc.cpp
// Why --write-dbc=DIR cannot be used ("" when it can).
std::string WhyNotWriteFolder(const Options& options);  // mode_write_dbc.cpp
// Writes every chosen table's client files into `options`' --write-dbc
// folder, each table's line and status into the run's report; the files
// written (with --changed-only, those that differ from the client's).
class ReadingRun;
void WriteEveryTable(RunContext& run, const Options& options, ReadingRun& reading,
                     std::vector<std::string>* written_files);  // mode_write_dbc.cpp
// Why --patch-archive=FILE cannot be used ("" when it can).
std::string WhyNotPatchArchive(const Options& options);  // mode_patch_archive.cpp
std::string WhyNotDiffFile(const Options& options);      // mode_verify.cpp
