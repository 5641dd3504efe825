#include "app/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// The long options, after the usage text of --help.
const char kLongHelp[] =
    "\n\nLong options (-l -h -o -u -p -d -f keep their meaning):\n"
    " --locale=N, --host=HOST, --port=PORT, --user=USER, --database=DB, --file=FILE\n"
    "                      the same as -l -h -o -u -d -f; --file=- writes the script\n"
    "                      to standard output and the console to standard error\n"
    " --password=PASSWORD  the same as -p; --password alone asks on the terminal\n"
    " --socket=PATH        connect through a unix socket (instead of -h)\n"
    " --defaults-file=FILE read the [client] and [vesk-dbc2sql] groups of a MySQL\n"
    "                      option file (host, port, user, password, socket, TLS)\n"
    " --ssl                require TLS\n"
    " --ssl-ca=FILE, --ssl-cert=FILE, --ssl-key=FILE\n"
    "                      the CA, certificate and key files of TLS\n"
    " --ssl-verify-server-cert\n"
    "                      check the server's certificate and host name\n"
    " --connect-timeout=S  seconds to wait for the server (default 20)\n"
    " --tables=LIST        only these tables; --exclude=LIST all but these (SQL table\n"
    "                      or client file names, comma-separated)\n"
    " --list               print the tables, their client files and columns\n"
    " --check              read and check every client file; write nothing\n"
    " --quiet              no progress bar and no line per table\n"
    " --atomic             load each server table into a staging table and swap it\n"
    "                      in whole: a failed or interrupted table keeps its old rows\n"
    " --help, --version\n"
    "\nLocales (-l N or -l NAME): 0 enGB, 1 enUS, 2 deDE, 3 esES, 4 frFR, 5 koKR,\n"
    "6 zhCN, 7 zhTW, 8 enCN, 9 enTW, 10 esMX, 11 ruRU\n"
    "\nExit status: 0 every table exported in full; 1 an output that could not be\n"
    "opened or a table not exported in full; 2 a mistake on the command line;\n"
    "128 + N stopped by signal N.\n"
    "\nMore in the manual: man vesk-dbc2sql\n";

constexpr char kName[] = "vesk-dbc2sql";

int Usage(int status) {
  std::fputs(kUsage, stdout);
  return status;
}

// A usage mistake: its reason on standard error, then the usage text.
int Mistake(const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", kName, why.c_str());
  return Usage(kExitUsage);
}

// Whether the script is to go to standard output: "-", or a path to the
// very file standard output is (/dev/stdout, /proc/self/fd/1, the file it
// is redirected to).
bool IsStandardOutput(const char* path) {
  if (std::strcmp(path, "-") == 0) return true;
  struct stat out, target;
  return ::fstat(1, &out) == 0 && ::stat(path, &target) == 0 && out.st_dev == target.st_dev &&
         out.st_ino == target.st_ino;
}

// The tables of the run, in export order: those --tables names, or all but
// those --exclude names. False, with the name, for a name of no table.
bool SelectTables(const Options& options, std::vector<const TableDescriptor*>* tables,
                  std::string* unknown) {
  std::vector<std::string_view> named;
  for (const char* list : {options.tables, options.exclude}) {
    if (!list) continue;
    for (std::string_view rest = list; !rest.empty();) {
      const std::size_t comma = rest.find(',');
      const std::string_view name = rest.substr(0, comma);
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
      if (name.empty()) continue;
      bool known = false;
      for (const TableDescriptor* table : ExportOrder()) known = known || NamesTable(name, *table);
      if (!known) {
        *unknown = std::string(name);
        return false;
      }
      named.push_back(name);
    }
  }
  for (const TableDescriptor* table : ExportOrder()) {
    bool is_named = false;
    for (const std::string_view name : named) is_named = is_named || NamesTable(name, *table);
    if (options.tables ? is_named : !is_named) tables->push_back(table);
  }
  return true;
}

// --check: reads and checks every table's client files as a run would,
// writing nothing and contacting no server; one line per table.
int CheckTables(const Options& options, const std::vector<const TableDescriptor*>& tables) {
  DBCFile reader;
  reader.SetConsole(DBCFile::Console::kNothing);
  reader.SetLocale(options.locale);
  int good = 0;
  for (const TableDescriptor* table : tables) {
    const unsigned faults = reader.ExportFaults();
    const bool loaded = IsMergedTable(*table) ? reader.LoadRatingTable(table) : reader.Load(table);
    const bool ok = loaded && reader.ExportFaults() == faults;
    good += ok;
    if (ok)
      std::printf("%s (%s): %u rows, ok\n", table->table_name, FilesOf(*table).c_str(),
                  reader.RecordCount());
    else
      std::printf("%s (%s): %s\n", table->table_name, FilesOf(*table).c_str(),
                  reader.LastFault().c_str());
  }
  const int status = good == static_cast<int>(tables.size()) ? kExitOk : kExitIncomplete;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %d of %zu tables would be exported in full; exit status %d\n", kName,
               good, tables.size(), status);
  return status;
}

// Why the options choose no output, or "" when they choose one.
std::string WhyNoMode(const Options& options) {
  if (options.file) return "";
  if (!options.database)
    return "choose an output: -f FILE for a script, or -h, -u, -p and -d for a server";
  if (options.defaults_file) return "";  // the option file may supply the rest
  if (!options.user) return "server mode needs -u";
  if (!options.host && !options.socket) return "server mode needs -h (or --socket)";
  if (!options.password && !options.ask_password)
    return "server mode needs -p: give the password, -p \"\" for none, or --password to be asked";
  return "";
}

// Creates the writer the options ask for and opens its output. Null, with
// *status set (and *why, when the output failed), when the output cannot be
// opened.
std::unique_ptr<DBCFile> OpenWriter(const Options& options, int script_fd, int* status,
                                    std::string* why) {
  if (options.file) {
    auto file = std::make_unique<dbcToFILE>();
    if (!file->Open(options.file, ClientFilePaths(), script_fd)) {
      *status = kExitIncomplete;
      *why = file->LastFault();
      return nullptr;
    }
    return file;
  }
  ConnectOptions connect;
  connect.socket = options.socket;
  connect.defaults_file = options.defaults_file;
  connect.ssl = options.ssl;
  connect.ssl_ca = options.ssl_ca;
  connect.ssl_cert = options.ssl_cert;
  connect.ssl_key = options.ssl_key;
  connect.ssl_verify_server_cert = options.ssl_verify_server_cert;
  connect.atomic = options.atomic;
  if (options.connect_timeout)
    connect.timeout_seconds = static_cast<unsigned>(ParseInt(options.connect_timeout));
  auto server = std::make_unique<dbcToSQL>(connect);
  if (!server->Connect(options.host, options.user, options.password, options.database,
                       options.port)) {
    *status = kExitIncomplete;
    *why = server->LastFault();
    return nullptr;
  }
  return server;
}

}  // namespace

int RunTool(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vesk-dbc2sql %s\n", VESK_VERSION);
    return kExitOk;
  }
  Options options;
  std::string mistake;
  const bool parsed = ParseOptions(argc, argv, &options, &mistake);
  // A script on standard output takes it over: the console, byte for byte
  // the same, goes to standard error.
  int script_fd = -1;
  if (parsed && options.file && IsStandardOutput(options.file)) {
    std::fflush(stdout);
    script_fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    ::dup2(2, 1);
  }
  if (parsed && options.list) {
    for (const TableDescriptor* table : ExportOrder()) {
      std::uint32_t columns = 0;
      for (std::uint32_t c = 0; c < table->column_count; ++c)
        columns += IsExported(table->columns[c].type);
      std::printf("%s: %s, %u columns\n", table->table_name, FilesOf(*table).c_str(), columns);
    }
    return kExitOk;
  }
  std::printf("R.T. Vesk database creator\n");
  std::printf("Use DBC from client version 3.2.2\n");
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(kExitOk);
    std::fputs(kLongHelp, stdout);
    return kExitOk;
  }
  if (!parsed) return Mistake(mistake);
  // Keep the password, then wipe it from the visible command line.
  std::string password = options.password ? options.password : "";
  if (options.password) options.password = password.c_str();
  HidePasswordArguments(argc, argv);
  std::printf("\n");

  std::vector<const TableDescriptor*> tables;
  std::string unknown;
  if (!SelectTables(options, &tables, &unknown)) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: unknown table %s: --list shows the tables\n", kName, unknown.c_str());
    return kExitUsage;
  }
  if (options.check) return CheckTables(options, tables);

  const std::string no_mode = WhyNoMode(options);
  if (!no_mode.empty()) return Mistake(no_mode);
  if (!options.file) {
    if (options.port_text && !IsPlainNumber(options.port_text)) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s: port %s is not a number\n", kName, options.port_text);
      return kExitUsage;
    }
    if (options.port < 0 || options.port > 65535) {
      std::fflush(stdout);
      std::fprintf(stderr, "Port %s is out of range: it must be 0 to 65535\n", options.port_text);
      return kExitUsage;
    }
    if (options.ask_password) {
      std::string reason;
      if (!AskPassword(&password, &reason)) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", kName, reason.c_str());
        return kExitUsage;
      }
      options.password = password.c_str();
    }
  }

  RunSummary summary(static_cast<int>(tables.size()));
  int status = kExitOk;
  std::string why;
  // From here on a signal stops the run between rows; see InterruptGuard.
  InterruptGuard interrupts;
  std::unique_ptr<DBCFile> writer = OpenWriter(options, script_fd, &status, &why);
  if (!writer) {
    if (status == kExitIncomplete) summary.PrintEarlyEnd(status, why);
    return status;
  }

  if (options.quiet) writer->SetConsole(DBCFile::Console::kFailures);
  writer->SetLocale(options.locale);
  bool ok = writer->Write("SET NAMES `utf8`;\n");
  if (!ok) summary.OutputFault("SET NAMES `utf8`: " + writer->LastFault());
  // A database that cannot be used, or no client folder, fails every
  // table: the summary names it first.
  if (writer->ExportFaults() != 0) summary.Cause(writer->LastFault());
  const std::string hint = MissingClientFolderHint();
  if (!hint.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", hint.c_str());
    summary.Cause(hint.substr(hint.find(": ") + 2));
  }
  int exported = 0;
  for (const TableDescriptor* table : tables) {
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
    const std::string slot_hint = writer->EmptySlotHint();
    if (!slot_hint.empty()) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", slot_hint.c_str());
    }
    summary.TableDone(*table, writer->ExportFaults() == faults, writer->LastFault(),
                      writer->RowsCut() ? writer->TableRows() : 0, writer->RecordCount());
  }
  // A run that ends without its result leaves the output as it was where it
  // can: an interrupted one always, one that exported no table when there
  // was an earlier output to keep.
  const int signal_number = PendingInterrupt();
  if (signal_number)
    summary.Interrupted(signal_number, writer->Abandon(true));
  else if (exported == 0)
    summary.Cause(writer->Abandon(false));
  const unsigned faults = writer->ExportFaults();
  writer->Close();
  if (writer->ExportFaults() != faults) summary.OutputFault(writer->LastFault());
  if (!signal_number) std::printf("Complete\n\n");
  if (!ok || writer->ExportFaults() != 0) status = kExitIncomplete;
  if (signal_number) status = 128 + signal_number;
  summary.Print(status, writer->RowsWritten(), writer->BytesWritten(), options.file == nullptr);
  return status;
}
