#include "app/run.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/client_layout.h"
#include "app/json_report.h"
#include "app/modes.h"
#include "app/option_file.h"
#include "app/options.h"
#include "app/process.h"
#include "app/table_selection.h"
#include "app/text_report.h"
#include "catalogue/catalogue.h"
#include "dbc/host_path.h"
#include "port/console.h"
#include "port/durable_file.h"
#include "port/program.h"
#include "server/server_rows.h"

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

// What --help says after the long options of the option table.
const char kHelpEnd[] =
    "\nLocales (-l N or -l NAME): 0 enGB, 1 enUS, 2 deDE, 3 esES, 4 frFR, 5 koKR,\n"
    "6 zhCN, 7 zhTW, 8 enCN, 9 enTW, 10 esMX, 11 ruRU\n"
    "\nExit status: 0 every table exported in full; 1 an output that could not be\n"
    "opened or a table not exported in full; 2 a mistake on the command line or in\n"
    "the option file; 128 + N stopped by signal N.\n"
    "\nMore in the manual: man vesk-dbc2sql\n";

int Usage(int status) {
  std::fputs(kUsage, stdout);
  return status;
}

// A usage mistake: its reason on standard error, then the usage text.
// The reason of the last mistake said, for the report of a run that ends
// with it.
std::string& LastMistake() {
  static std::string why;
  return why;
}

int Mistake(const std::string& why) {
  LastMistake() = why;
  Warn(why);
  return Usage(kExitUsage);
}

// A mistake said on standard error alone.
int Refuse(const std::string& why, int status = kExitUsage) {
  LastMistake() = why;
  Warn(why);
  return status;
}

// Whether a path names the very file standard output is: "-", or a path
// to it (/dev/stdout, /proc/self/fd/1, the file it is redirected to).
bool IsStandardOutput(const std::string& path) {
  if (path == "-") return true;
  struct stat out, target;
  return ::fstat(1, &out) == 0 && ::stat(path.c_str(), &target) == 0 &&
         out.st_dev == target.st_dev && out.st_ino == target.st_ino;
}

// Whether descriptors 1 and 2 are one file or pipe (other than /dev/null,
// where nothing is kept anyway).
bool ConsoleSharesStandardOutput() {
  struct stat out, err, null;
  return ::fstat(1, &out) == 0 && ::fstat(2, &err) == 0 && out.st_dev == err.st_dev &&
         out.st_ino == err.st_ino &&
         !(::stat("/dev/null", &null) == 0 && out.st_rdev == null.st_rdev && S_ISCHR(out.st_mode));
}

// What the command line and the option files under it say, or the mistake.
struct Parsed {
  Options options;
  bool ok = false;
  std::string mistake;
  bool unknown_long = false;       // the mistake is an unknown long option
  std::vector<std::string> files;  // the option files read
  std::vector<std::string> file_warnings;
  std::string file_problem;
};

// Parse: the command line, then the option file under it (--defaults-file,
// or else --defaults-extra-file; none with --no-defaults). Every value is
// copied, so the passwords are wiped from the command line at once.
Parsed Parse(int argc, char** argv) {
  Parsed parsed;
  parsed.ok = ParseOptions(argc, argv, &parsed.options, &parsed.mistake, &parsed.unknown_long);
  HidePasswordArguments(argc, argv);
  const Options& options = parsed.options;
  if (!parsed.ok || options.no_defaults) return parsed;
  if (options.defaults_file && options.defaults_extra_file)
    parsed.file_warnings.push_back(
        "--defaults-extra-file is not read with --defaults-file, "
        "as with the MySQL tools");
  if (options.defaults_file || options.defaults_extra_file)
    parsed.files.push_back(options.defaults_file ? *options.defaults_file
                                                 : *options.defaults_extra_file);
  for (const std::string& file : parsed.files) {
    Options from_file;
    if (!ApplyOptionFile(file, &from_file, &parsed.file_warnings, &parsed.file_problem)) break;
    FillFrom(&parsed.options, from_file);
  }
  return parsed;
}

// Where standard output goes: the script, a report, or the console.
struct StandardOutput {
  bool script = false;          // the script is standard output's
  bool console_shares = false;  // ... and standard error is the same file or pipe
  int script_fd = -1;           // standard output, taken over for the script
  int report_fd = -1;           // standard output, kept for --report=-
};

// A script on standard output takes it over: the console, byte for byte the
// same, goes to standard error. A quiet run's console goes nowhere, which
// leaves standard output to --report=-.
StandardOutput TakeStandardOutput(const Parsed& parsed) {
  StandardOutput out;
  const Options& options = parsed.options;
  out.script = parsed.ok && options.file && IsStandardOutput(*options.file);
  out.console_shares = out.script && ConsoleSharesStandardOutput();
  if (out.script && !StandardDescriptorWasClosed(1) && !out.console_shares) {
    std::fflush(stdout);
    out.script_fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    ::dup2(2, 1);
  }
  // (A closed standard output stays without a report: the run fails.)
  if (parsed.ok && options.quiet && options.report && *options.report == "-" && !out.script &&
      !StandardDescriptorWasClosed(1))
    out.report_fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (parsed.ok && options.quiet) SilenceStandardOutput();
  return out;
}

// The banner, --help, the mistakes of the command line and the option
// file, the values out of range and the choice of tables. An exit status
// when the run ends here, -1 otherwise.
int Prelude(const Parsed& parsed, const ModeRow* mode,
            std::vector<const TableDescriptor*>* tables) {
  const Options& options = parsed.options;
  if (!parsed.ok || mode->banner) {
    std::printf("R.T. Vesk database creator\n");
    std::printf("Use DBC from client version 3.2.2\n");
  }
  if (parsed.ok && options.help) {
    Usage(kExitOk);
    std::printf("\n\nLong options (-l -h -o -u -p -d -f keep their meaning):\n%s%s",
                OptionHelp().c_str(), kHelpEnd);
    return kExitOk;
  }
  // An unknown long option names the option meant and --help: no usage
  // of the short options under it.
  if (!parsed.ok) return parsed.unknown_long ? Refuse(parsed.mistake) : Mistake(parsed.mistake);
  for (const std::string& warning : parsed.file_warnings) Warn(warning);
  if (!parsed.file_problem.empty()) return Refuse(parsed.file_problem);
  std::string mistake, locale_warning;
  if (!Validate(options, &mistake, &locale_warning)) return Refuse(mistake);
  if (!locale_warning.empty()) Warn(locale_warning);
  for (const ModeExclusion& excluded : mode->excludes)
    if (mode->start == ModeRow::Start::kBeforeOutput && excluded.given(options))
      return Refuse(excluded.mistake);
  if (!SelectTables(options, tables, &mistake)) return Refuse(mistake);
  if (mode->banner) std::printf("\n");
  return -1;
}

// Why the options choose no output, or "" when they choose one.
std::string WhyNoOutput(const Parsed& parsed) {
  const Options& options = parsed.options;
  if (options.file) return "";
  if (!options.database)
    return "choose an output: -f FILE for a script, or -h, -u, -p and -d for a server";
  if (!parsed.files.empty()) return "";  // the option file may supply the rest
  if (!options.user) return "server mode needs -u";
  if (!options.host && !options.socket) return "server mode needs -h (or --socket)";
  if (!options.password && !options.ask_password)
    return "server mode needs -p: give the password, -p \"\" for none, or --password to be asked";
  return "";
}

// The checks of server mode before anything is opened: the port, the
// password asked for. An exit status when the run ends here, else -1.
int PrepareServerMode(Options& options) {
  if (options.port && !IsPlainNumber(options.port->c_str()))
    return Refuse("port " + *options.port + " is not a number");
  if (options.Port() < 0 || options.Port() > 65535) {
    WarnLine("Port " + *options.port + " is out of range: it must be 0 to 65535");
    return kExitUsage;
  }
  if (options.ask_password) {
    std::string password, reason;
    if (!AskPassword(&password, &reason)) return Refuse(reason);
    options.password = password;
  }
  return -1;
}

// The output the options name, checked against the mode's row: one there
// is, and one it can be. An exit status when the run ends here, -1
// otherwise.
int ValidateOutput(Parsed& parsed, const ModeRow& mode, const StandardOutput& out) {
  Options& options = parsed.options;
  if (const std::string no_output = WhyNoOutput(parsed); !no_output.empty())
    return Mistake(no_output);
  for (const ModeExclusion& excluded : mode.excludes)
    if (excluded.given(options)) return Refuse(excluded.mistake);
  if (mode.check)
    if (const std::string why = mode.check(options); !why.empty()) return Refuse(why);
  if (out.console_shares)
    return Refuse("-f " + *options.file +
                  " writes the script to standard output, and standard error is the same file "
                  "or pipe: the console would go into the script; send standard error elsewhere");
  if (out.script && StandardDescriptorWasClosed(1))
    return Refuse("-f " + *options.file + ": standard output is closed; no script can be written",
                  kExitIncomplete);
  return options.file ? -1 : PrepareServerMode(options);
}

// Why a report file may not be written where --report names it: a folder,
// a client file, the run's own script, or a client file --write-dbc writes;
// "" when it may.
std::string WhyNotReportFile(const Options& options) {
  const std::string& path = *options.report;
  const std::string said = "--report=" + path;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return said + " is a folder";
  // Standard output is checked as the file it is.
  const std::string target = FollowLinks(path);
  for (const char* client : ClientFilePaths()) {
    if (IsClientFile(target.c_str(), client))
      return said + " is the client file " + client + ", which is never overwritten";
    const std::string stored = client;
    const std::string name = stored.substr(stored.rfind('\\') + 1);
    if (options.write_dbc && SameFile(FolderOf(target), *options.write_dbc) &&
        ::strcasecmp(target.substr(target.rfind('/') + 1).c_str(), name.c_str()) == 0)
      return said + " is a client file that --write-dbc writes in this run";
  }
  if (options.file && *options.file != "-" && SameFile(path, *options.file))
    return said + " is the script -f writes";
  if (options.diff_sql && SameFile(path, *options.diff_sql))
    return said + " is the file --diff-sql writes";
  return "";
}

// Why --report cannot be written where it names, or "".
std::string WhyNoReport(const Options& options, const StandardOutput& out) {
  if (options.report && *options.report != "-") return WhyNotReportFile(options);
  if (!options.report) return "";
  if (out.script) return "--report=- and the script both want standard output: name a file";
  if (!options.quiet)
    return "--report=- writes to standard output, which the console uses: add --quiet, or "
           "name a file";
  return "";
}

// A run that ends before it began (a mistake of the command line) still
// leaves its report where --report names a file it may write: the reason
// and the exit status, so that a monitor never reads an earlier run's.
int EndsEarly(Parsed& parsed, const ModeRow& mode, int status) {
  Options& options = parsed.options;
  if (!parsed.ok || !options.report || *options.report == "-" || !WhyNotReportFile(options).empty())
    return status;
  // The mistake is said already: the report alone renders the end.
  RunReport report(mode.words, {}, options.quiet);
  const std::vector<const TableDescriptor*> none;
  const RunContext run{options, none, report, -1, NewRunId()};
  JsonReport json(*options.report, -1, run);
  report.AddRenderer(&json);
  return report.FinishEarly(status, LastMistake());
}

}  // namespace

int RunTool(int argc, char** argv) {
  Parsed parsed = Parse(argc, argv);
  if (parsed.ok && parsed.options.version) {
    std::printf("%s %s\n", kProgramName, VESK_VERSION);
    return kExitOk;
  }
  if (parsed.ok && parsed.options.print_defaults && parsed.file_problem.empty()) {
    for (const std::string& warning : parsed.file_warnings) Warn(warning);
    return PrintDefaults(parsed.files) ? kExitOk : kExitUsage;
  }
  const StandardOutput out = TakeStandardOutput(parsed);
  const ModeRow& mode = ChosenMode(parsed.options);
  std::vector<const TableDescriptor*> tables;
  if (parsed.ok && parsed.options.client_dir) SetClientFolder(*parsed.options.client_dir);
  if (const int status = Prelude(parsed, &mode, &tables); status >= 0)
    return status == kExitOk ? status : EndsEarly(parsed, mode, status);
  if (mode.start == ModeRow::Start::kAfterOutput)
    if (const int status = ValidateOutput(parsed, mode, out); status >= 0)
      return EndsEarly(parsed, mode, status);
  if (const std::string why = WhyNoReport(parsed.options, out); !why.empty()) return Refuse(why);
  RunReport report(mode.words, tables, parsed.options.quiet);
  TextReport text;
  report.AddRenderer(&text);
  RunContext run{parsed.options, tables, report, out.script_fd, NewRunId()};
  std::unique_ptr<JsonReport> json;
  if (parsed.options.report) {
    json = std::make_unique<JsonReport>(*parsed.options.report, out.report_fd, run);
    report.AddRenderer(json.get());
  }
  ClientLayout layout;
  if (std::string why; !layout.Choose(parsed.options, &why))
    return report.FinishEarly(kExitIncomplete, why);
  const int status = mode.run(run);
  // A report that could not be written fails a run that went well.
  return json && !json->written() && status == kExitOk ? kExitIncomplete : status;
}
