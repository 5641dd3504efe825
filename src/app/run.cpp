#include "app/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    " --help, --version\n";

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

  RunSummary summary;
  int status = kExitOk;
  std::string why;
  // From here on a signal stops the run between rows; see InterruptGuard.
  InterruptGuard interrupts;
  std::unique_ptr<DBCFile> writer = OpenWriter(options, script_fd, &status, &why);
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
