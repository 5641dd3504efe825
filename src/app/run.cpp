#include "app/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/option_file.h"
#include "app/options.h"
#include "app/process.h"
#include "app/summary.h"
#include "app/table_export.h"
#include "catalogue/catalogue.h"
#include "dbc/dbc_format.h"
#include "dbc/host_path.h"
#include "port/durable_file.h"
#include "port/interrupt.h"
#include "port/program.h"
#include "roundtrip/table_verifier.h"
#include "roundtrip/table_write_back.h"
#include "server/run_lock.h"
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
int Mistake(const std::string& why) {
  Warn(why);
  return Usage(kExitUsage);
}

// Whether the script is to go to standard output: "-", or a path to the
// very file standard output is (/dev/stdout, /proc/self/fd/1, the file it
// is redirected to).
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

// The names of a --tables or --exclude list, blanks around commas trimmed.
std::vector<std::string_view> NamesOf(std::string_view list) {
  std::vector<std::string_view> names;
  for (std::string_view rest = list; !rest.empty();) {
    const std::size_t comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

// The tables of the run, in export order: those --tables names (all when it
// is not given), less those --exclude names. False, with the mistake, for
// names of no table or a list that names none.
bool SelectTables(const Options& options, std::vector<const TableDescriptor*>* tables,
                  std::string* why) {
  std::vector<std::string_view> chosen, excluded;
  std::string unknown;
  for (const auto& [list, names, option] : {std::tuple{&options.tables, &chosen, "--tables"},
                                            {&options.exclude, &excluded, "--exclude"}}) {
    if (!*list) continue;
    *names = NamesOf(**list);
    if (names->empty()) {
      *why = std::string(option) + " names no table: --list shows the tables";
      return false;
    }
    for (const std::string_view name : *names) {
      bool known = false;
      for (const TableDescriptor* table : ExportOrder()) known = known || NamesTable(name, *table);
      if (!known) unknown += (unknown.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (!unknown.empty()) {
    *why = (unknown.find(',') == std::string::npos ? "unknown table " : "unknown tables ") +
           unknown + ": --list shows the tables";
    return false;
  }
  const auto named = [](const std::vector<std::string_view>& names, const TableDescriptor& table) {
    for (const std::string_view name : names)
      if (NamesTable(name, table)) return true;
    return false;
  };
  for (const TableDescriptor* table : ExportOrder())
    if ((!options.tables || named(chosen, *table)) && !named(excluded, *table))
      tables->push_back(table);
  if (tables->empty()) {
    *why = "--exclude leaves no table of --tables to export";
    return false;
  }
  return true;
}

// --list: every chosen table with its client files and column count.
int ListTables(const std::vector<const TableDescriptor*>& tables) {
  for (const TableDescriptor* table : tables) {
    std::uint32_t columns = 0;
    for (std::uint32_t c = 0; c < table->column_count; ++c)
      columns += IsExported(table->columns[c].type);
    std::printf("%s: %s, %u columns\n", table->table_name, FilesOf(*table).c_str(), columns);
  }
  return kExitOk;
}

// --check: reads and checks every table's client files as a run would,
// writing nothing and contacting no server; one line per table.
int CheckTables(const Options& options, const std::vector<const TableDescriptor*>& tables) {
  DBCFile reader;
  reader.SetConsole(DBCFile::Console::kNothing);
  reader.SetLocale(options.LocaleIndex());
  RunSummary summary(static_cast<int>(tables.size()), options.quiet);
  int good = 0;
  for (const TableDescriptor* table : tables) {
    const unsigned faults = reader.ExportFaults();
    const bool loaded =
        IsMergedTable(*table) ? reader.LoadRatingTable(table, RatingSources()) : reader.Load(table);
    const bool ok = loaded && reader.ExportFaults() == faults;
    good += ok;
    summary.TableDone(*table, ok, reader.LastFault());
    if (ok)
      std::printf("%s (%s): %u rows, ok\n", table->table_name, FilesOf(*table).c_str(),
                  reader.Table().RecordCount());
    else
      std::printf("%s (%s): %s\n", table->table_name, FilesOf(*table).c_str(),
                  reader.LastFault().c_str());
  }
  const int status = good == static_cast<int>(tables.size()) ? kExitOk : kExitIncomplete;
  summary.PrintCheck(status);
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

// The checks of server mode before anything is opened: the port, the
// password asked for. An exit status when the run ends here, else -1.
int PrepareServerMode(Options& options) {
  if (options.port && !IsPlainNumber(options.port->c_str())) {
    Warn("port " + *options.port + " is not a number");
    return kExitUsage;
  }
  if (options.Port() < 0 || options.Port() > 65535) {
    WarnLine("Port " + *options.port + " is out of range: it must be 0 to 65535");
    return kExitUsage;
  }
  if (options.ask_password) {
    std::string password, reason;
    if (!AskPassword(&password, &reason)) {
      Warn(reason);
      return kExitUsage;
    }
    options.password = password;
  }
  return -1;
}

// An option's text, or null when it is not given.
const char* Text(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

// The connection settings the options give.
ConnectOptions ConnectOptionsOf(const Options& options) {
  ConnectOptions connect;
  connect.socket = Text(options.socket);
  // A CA, certificate or key asks for TLS.
  connect.ssl = options.ssl || options.ssl_ca || options.ssl_cert || options.ssl_key;
  connect.ssl_ca = Text(options.ssl_ca);
  connect.ssl_cert = Text(options.ssl_cert);
  connect.ssl_key = Text(options.ssl_key);
  connect.ssl_verify_server_cert = options.ssl_verify_server_cert;
  connect.atomic = options.atomic;
  connect.engine = options.TableEngine();
  connect.timeout_seconds = options.ConnectTimeout();
  connect.lock_wait_seconds = options.LockWait();
  connect.utf8mb4 = options.utf8mb4;
  return connect;
}

// Creates the writer the options ask for and opens its output. Null, with
// *status set (and *why, when the output failed), when the output cannot be
// opened.
std::unique_ptr<DBCFile> OpenWriter(const Options& options, int script_fd, int* status,
                                    std::string* why) {
  if (options.file) {
    auto file = std::make_unique<dbcToFILE>();
    if (!file->Open(options.file->c_str(), ClientFilePaths(), script_fd)) {
      *status = kExitIncomplete;
      *why = file->LastFault();
      return nullptr;
    }
    return file;
  }
  auto server = std::make_unique<dbcToSQL>(ConnectOptionsOf(options));
  server->SetUtf8mb4(options.utf8mb4);  // a database it creates too
  if (!server->Connect(Text(options.host), Text(options.user), Text(options.password),
                       options.database->c_str(), options.Port())) {
    *status = kExitIncomplete;
    *why = server->LastFault();
    return nullptr;
  }
  return server;
}

// A run that reads the database (--verify, --write-dbc): a signal stops it
// between rows; one session, set up, with the database selected; a reader
// of the client files at the run's locale; and its end, said on standard
// error.
class ReadingRun {
 public:
  explicit ReadingRun(const Options& options)
      : options_(options), session(ConnectOptionsOf(options)) {
    reader.SetConsole(DBCFile::Console::kNothing);
    reader.SetLocale(options.LocaleIndex());
  }

  // Connects; false, having said why (`nothing`: what then was not done,
  // "no table compared"), when that fails. Without a client folder there
  // is nothing to compare with: no connection is made.
  bool Connect(const char* nothing) {
    std::string why = MissingClientFolder();
    if (why.empty()) why = Open();
    if (why.empty()) {
      // A signal ends a read of rows at once, not after the whole result.
      abort_.emplace(static_cast<int>(mysql_get_socket(session.handle())));
      return true;
    }
    Warn(std::string(nothing) + ": " + why + "; exit status 1");
    return false;
  }

  // The line of one table; under --quiet, that of a table that failed goes
  // to standard error.
  void Line(const TableDescriptor& table, const std::string& text, bool good) {
    std::printf("%s: %s\n", table.table_name, text.c_str());
    if (options_.quiet && !good) WarnLine(std::string(table.table_name) + ": " + text);
  }

  // Disconnects and says how the run went (under --quiet only when it
  // failed): `outcome` ("3 of 42 tables differ"), or, when a signal
  // stopped it, how far it got (`done` tables `doing`). Returns the exit
  // status.
  int Finish(bool ok, const std::string& outcome, std::size_t done, std::size_t total,
             const char* doing) {
    abort_.reset();
    session.Close();
    std::printf("Disconnect\n");
    if (const int signal_number = PendingInterrupt()) {
      Warn(std::string("interrupted by ") + SignalName(signal_number) + " after " +
           std::to_string(done) + " of " + std::to_string(total) + " tables " + doing +
           "; exit status " + std::to_string(128 + signal_number));
      return 128 + signal_number;
    }
    const int status = ok ? kExitOk : kExitIncomplete;
    if (!options_.quiet || !ok) Warn(outcome + "; exit status " + std::to_string(status));
    return status;
  }

 private:
  // Declared first: the guard is in place before the session connects.
  // Connects, sets up the session, waits for a load in progress (its
  // tables are read whole) and selects the database; why that failed, or "".
  std::string Open() {
    std::printf("Connecting to MySQL server: ");
    if (!session.Open(Text(options_.host), Text(options_.user), Text(options_.password),
                      options_.Port())) {
      const std::string why = session.ConnectError();
      std::printf("\n %s\n", why.c_str());
      return why;
    }
    std::printf("ok\n");
    std::string statement, why;
    if (!session.SetUp(&statement))
      return "the server refused " + statement + ": " + session.Error();
    // Texts are read as they are stored: a column the user converted to
    // utf8mb4 may hold characters that utf8 would turn into '?'.
    if (mysql_set_character_set(session.handle(), "utf8mb4") != 0)
      return std::string("the server refused SET NAMES utf8mb4: ") + mysql_error(session.handle());
    // A node of a Galera cluster answers with what the whole cluster
    // committed, a load into another node included (elsewhere: refused,
    // and of no matter).
    session.Quietly("SET SESSION wsrep_sync_wait = 1");
    RunLock lock(*options_.database);
    if (!lock.Take(session, options_.LockWait(), &why)) return why;
    if (mysql_select_db(session.handle(), options_.database->c_str()) != 0)
      return "database " + *options_.database + " cannot be used: " + mysql_error(session.handle());
    // A load through another node of a cluster is waited for too.
    if (!lock.AwaitCluster(session, options_.LockWait(), &why)) return why;
    return "";
  }

  const Options& options_;
  InterruptGuard interrupts_;
  std::optional<AbortSocketOnInterrupt> abort_;

 public:
  ServerSession session;
  DBCFile reader;
};

// --verify: compares each chosen table in the database with the rows of its
// client files, one line per table; changes nothing. Exit 0 when all are
// equal, 1 otherwise.
int VerifyTables(const Options& options, const std::vector<const TableDescriptor*>& tables) {
  ReadingRun run(options);
  if (!run.Connect("no table compared")) return kExitIncomplete;
  TableVerifier verifier(run.session);
  std::size_t differ = 0, done = 0;
  for (const TableDescriptor* table : tables) {
    if (PendingInterrupt()) break;
    ++done;
    DBCFile& reader = run.reader;
    const bool loaded =
        IsMergedTable(*table) ? reader.LoadRatingTable(table, RatingSources()) : reader.Load(table);
    std::string what;
    if (!loaded) what = "cannot be compared: " + reader.LastFault();
    const bool equal = loaded && verifier.Compare(reader.Table(), &what);
    differ += !equal;
    run.Line(*table, what, equal);
  }
  return run.Finish(
      differ == 0,
      std::to_string(differ) + " of " + std::to_string(tables.size()) + " tables differ", done,
      tables.size(), "compared");
}

// The name of a table's client file as found on disk (the catalogue's
// otherwise), without its folder.
std::string ClientFileName(const TableDescriptor& table) {
  const HostPath found = ResolveClientPath(table.file_path);
  const std::string& path = found.path;
  return path.substr(path.rfind('/') + 1);
}

// Why --write-dbc=DIR cannot be used ("" when it can): DIR must be a folder,
// and neither the client's dbc folder nor one that holds a client file.
std::string WhyNotWriteFolder(const std::string& folder) {
  struct stat dir;
  if (::stat(folder.c_str(), &dir) != 0)
    return "--write-dbc=" + folder + ": " + std::strerror(errno);
  if (!S_ISDIR(dir.st_mode)) return "--write-dbc=" + folder + " is not a folder";
  for (const char* path : ClientFilePaths()) {
    const HostPath input = ResolveClientPath(path);
    struct stat in, there, parent;
    if (::stat(input.path.c_str(), &in) != 0) continue;
    if (::stat(FolderOf(input.path).c_str(), &parent) == 0 && parent.st_dev == dir.st_dev &&
        parent.st_ino == dir.st_ino)
      return "--write-dbc=" + folder +
             " is the client's own dbc folder: its files are never overwritten";
    const std::string there_path = folder + "/" + input.path.substr(input.path.rfind('/') + 1);
    if (::stat(there_path.c_str(), &there) == 0 && there.st_dev == in.st_dev &&
        there.st_ino == in.st_ino)
      return "--write-dbc=" + folder + " holds the client file " + path +
             ", which is never overwritten";
  }
  return "";
}

// Where the client file `name` goes in --write-dbc's folder: a link there
// is followed, as -f follows one, but never into the client's own dbc
// folder. Empty, with the reason, when it may not be written.
std::string WriteTarget(const Options& options, const std::string& name, std::string* why) {
  const std::string path = *options.write_dbc + "/" + name;
  const std::string target = FollowLinks(path);
  struct stat folder, client;
  if (::stat(FolderOf(target).c_str(), &folder) == 0 &&
      ::stat(ResolveClientPath("dbc").path.c_str(), &client) == 0 &&
      folder.st_dev == client.st_dev && folder.st_ino == client.st_ino) {
    *why = path + " links into the client's own dbc folder, whose files are never overwritten";
    return "";
  }
  return target;
}

// The merged rating table goes back into its three source files, when its
// rows map back onto them without loss: levels 0 to 99, each source read in
// full. The line of the table; *written tells whether it was written.
std::string WriteRatingFiles(const Options& options, DBCFile& reader, TableWriteBack& builder,
                             const TableDescriptor* table, bool* written) {
  const unsigned faults = reader.ExportFaults();
  std::string merged, why;
  TableWriteBack::Counts counts;
  if (!reader.LoadRatingTable(table, RatingSources()) || reader.ExportFaults() != faults)
    return "not written: " + reader.LastFault();
  // The merged table's file is small (its levels): built in memory.
  const MemoryFile memory("vesk_rating");
  if (memory.fd() < 0) return std::string("not written: ") + std::strerror(memory.error());
  const bool built = builder.Build(reader.Table(), memory.fd(), &counts, &why);
  if (built && !memory.Contents(&merged)) merged.clear();
  if (!built) return "not written: " + why;
  if (merged.size() < kDbcHeaderSize) return "not written: the merged table cannot be read back";
  if (counts.added || counts.left_out)
    return "not written: its rows do not map back onto its source files, which hold levels 0 to " +
           std::to_string(RatingSources().front().levels - 1) + " (" +
           std::to_string(counts.added) + " rows added, " + std::to_string(counts.left_out) +
           " left out)";
  // Every source is built before any is written.
  std::vector<std::pair<std::string, std::string>> files;
  for (const RatingSource& source : RatingSources()) {
    if (!reader.Load(source.file)) return "not written: " + reader.LastFault();
    files.emplace_back(ClientFileName(*source.file),
                       RatingSourceFile(merged, reader.Table(), source));
  }
  std::string names;
  for (const auto& [name, bytes] : files) {
    const auto fill = [&bytes = bytes](int fd, std::string* reason) {
      const int error = WriteAt(fd, bytes.data(), bytes.size(), 0);
      if (error) *reason = std::string("cannot be written: ") + std::strerror(error);
      return error == 0;
    };
    const std::string target = WriteTarget(options, name, &why);
    if (target.empty()) return "not written: " + why;
    if (bool in_place; !WriteFileDurably(target, fill, &why, &in_place))
      return NotDurableLine(why, in_place);
    names += (names.empty() ? "" : ", ") + name;
  }
  *written = true;
  return names + " written, " + std::to_string(counts.records) + " levels (" +
         std::to_string(counts.changed) + " changed)";
}

// --write-dbc=DIR: writes the client file of each chosen table into DIR from
// the database's rows, the client's own file serving as the template; one
// line per table. A table that cannot be written leaves no file.
int WriteClientFiles(const Options& options, const std::vector<const TableDescriptor*>& tables) {
  ReadingRun run(options);
  if (!run.Connect("no client file written")) return kExitIncomplete;
  TableWriteBack builder(run.session);
  std::size_t written = 0;
  for (const TableDescriptor* table : tables) {
    if (PendingInterrupt()) break;
    std::string line, why;
    bool done = false;
    TableWriteBack::Counts counts;
    const std::string name = ClientFileName(*table);
    const auto build = [&](int fd, std::string* reason) {
      return builder.Build(run.reader.Table(), fd, &counts, reason);
    };
    if (IsMergedTable(*table)) {
      line = WriteRatingFiles(options, run.reader, builder, table, &done);
    } else if (!run.reader.Load(table)) {
      line = "not written: " + run.reader.LastFault();
    } else if (const std::string target = WriteTarget(options, name, &why); target.empty()) {
      line = "not written: " + why;
    } else if (bool in_place; !WriteFileDurably(target, build, &why, &in_place)) {
      line = NotDurableLine(why, in_place);
    } else {
      done = true;
      line = name + " written, " + std::to_string(counts.records) + " records (" +
             std::to_string(counts.changed) + " changed, " + std::to_string(counts.added) +
             " added, " + std::to_string(counts.left_out) + " left out)";
    }
    written += done;
    run.Line(*table, line, done);
  }
  return run.Finish(
      written == tables.size(),
      std::to_string(written) + " of " + std::to_string(tables.size()) + " tables written", written,
      tables.size(), "written");
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
    sibling->SetLocale(options.LocaleIndex());
    sibling->SetEngine(options.TableEngine());
    sibling->SetUtf8mb4(options.utf8mb4);
    sibling->SetConsole(options.quiet ? DBCFile::Console::kNothing : DBCFile::Console::kAll);
    others.push_back(std::move(sibling));
  }
  return others;
}

// Exports every chosen table through `writer` (and the further connections
// of --parallel), recording each in `summary`.
int Export(const Options& options, const std::vector<const TableDescriptor*>& tables,
           DBCFile& writer, RunSummary& summary) {
  writer.SetLocale(options.LocaleIndex());
  writer.SetEngine(options.TableEngine());
  writer.SetUtf8mb4(options.utf8mb4);
  const char* const names = options.utf8mb4 ? "SET NAMES `utf8mb4`;\n" : "SET NAMES `utf8`;\n";
  bool ok = writer.Write(names);
  if (!ok)
    summary.OutputFault(std::string(names, std::strlen(names) - 2) + ": " + writer.LastFault());
  // A database that cannot be used ends a server run before its first
  // table; no client folder fails every table of a script: the summary
  // names it first.
  const bool unusable = !options.file && writer.ExportFaults() != 0;
  if (writer.ExportFaults() != 0 && !unusable) summary.Cause(writer.LastFault());
  const std::string folder = MissingClientFolder();
  if (!folder.empty()) {
    Warn(folder);
    summary.Cause(folder);
  }
  std::vector<std::unique_ptr<DBCFile>> others =
      folder.empty() && !unusable ? MoreConnections(options, writer, tables.size())
                                  : std::vector<std::unique_ptr<DBCFile>>{};
  int exported = 0;
  if (unusable) {
    summary.Ended(writer.LastFault(), false);
  } else if (!others.empty()) {
    std::string ended;
    exported = ExportInParallel(tables, writer, others, summary, &ended);
    if (!ended.empty()) summary.Ended(ended, false);
  } else {
    for (const TableDescriptor* table : tables) {
      if (PendingInterrupt()) break;
      if (!writer.Ready()) {
        summary.Ended(writer.LastFault(), options.file.has_value());
        break;
      }
      // (utf8mb4 holds every text a client file can have.)
      const TableOutcome outcome =
          ExportTable(writer, *table, options.file.has_value() && !options.utf8mb4);
      if (!outcome.reached) break;
      exported += outcome.dumped;
      RecordOutcome(summary, *table, outcome);
      if (RefusedForEveryTable(outcome)) {
        summary.Ended(outcome.reason, false);
        break;
      }
    }
  }
  // A run that ends without its result leaves the output as it was where it
  // can: an interrupted one always, one that exported no table when there
  // was an earlier output to keep.
  const int signal_number = PendingInterrupt();
  // (Abandon() discards a script: asked only of a run without its result.)
  std::string abandoned = signal_number || exported == 0 ? writer.Abandon(true) : "";
  std::uint64_t rows = writer.RowsWritten();
  bool others_failed = false;
  for (std::unique_ptr<DBCFile>& other : others) {
    if (signal_number || exported == 0) {
      const std::string more = other->Abandon(true);
      if (!more.empty()) abandoned += (abandoned.empty() ? "" : "; ") + more;
    }
    rows += other->RowsWritten();
    others_failed = others_failed || other->ExportFaults() != 0;
    other->Close();
  }
  if (signal_number)
    summary.Interrupted(signal_number, abandoned);
  else if (exported == 0)
    summary.Cause(abandoned);
  const unsigned faults = writer.ExportFaults();
  writer.Close();
  if (writer.ExportFaults() != faults) {
    const DBCFile::Fault& fault = writer.FaultAt(faults);
    if (fault.output_kept)
      summary.Cause(fault.reason);
    else
      summary.OutputFault(fault.reason);
  }
  if (!signal_number) std::printf("Complete\n\n");
  int status = !ok || writer.ExportFaults() != 0 || others_failed ? kExitIncomplete : kExitOk;
  if (signal_number) status = 128 + signal_number;
  summary.Print(status, rows, writer.BytesWritten(), !options.file);
  return status;
}

// What the command line and the option file under it say, or the mistake.
struct Parsed {
  Options options;
  bool ok = false;
  std::string mistake;
  bool unknown_long = false;  // the mistake is an unknown long option
  std::vector<std::string> file_warnings;
  std::string file_problem;
};

// Parse: the command line, then the option file under it. Every value is
// copied, so the passwords are wiped from the command line at once.
Parsed Parse(int argc, char** argv) {
  Parsed parsed;
  parsed.ok = ParseOptions(argc, argv, &parsed.options, &parsed.mistake, &parsed.unknown_long);
  HidePasswordArguments(argc, argv);
  if (parsed.ok && parsed.options.defaults_file) {
    Options from_file;
    if (ApplyOptionFile(*parsed.options.defaults_file, &from_file, &parsed.file_warnings,
                        &parsed.file_problem))
      FillFrom(&parsed.options, from_file);
  }
  return parsed;
}

// Where the script goes when it goes to standard output.
struct ScriptOutput {
  bool to_stdout = false;       // the script is standard output's
  bool console_shares = false;  // ... and standard error is the same file or pipe
  int fd = -1;                  // standard output, taken over for the script
};

// A script on standard output takes it over: the console, byte for byte the
// same, goes to standard error. A quiet run's console goes nowhere.
ScriptOutput TakeStandardOutput(const Parsed& parsed) {
  ScriptOutput out;
  const Options& options = parsed.options;
  out.to_stdout = parsed.ok && options.file && IsStandardOutput(*options.file);
  out.console_shares = out.to_stdout && ConsoleSharesStandardOutput();
  if (out.to_stdout && !StandardDescriptorWasClosed(1) && !out.console_shares) {
    std::fflush(stdout);
    out.fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    ::dup2(2, 1);
  }
  if (parsed.ok && options.quiet) SilenceStandardOutput();
  return out;
}

// The banner, --help, the mistakes of the command line and the option
// file, the values out of range, the choice of tables, and the modes that
// end there (--list, --check). An exit status when the run ends here, -1
// otherwise.
int EarlyModes(const Parsed& parsed, std::vector<const TableDescriptor*>* tables) {
  const Options& options = parsed.options;
  if (!parsed.ok || !options.list) {
    std::printf("R.T. Vesk database creator\n");
    std::printf("Use DBC from client version 3.2.2\n");
  }
  if (parsed.ok && options.help) {
    Usage(kExitOk);
    std::printf("\n\nLong options (-l -h -o -u -p -d -f keep their meaning):\n%s%s",
                OptionHelp().c_str(), kHelpEnd);
    return kExitOk;
  }
  if (!parsed.ok && parsed.unknown_long) {
    // The mistake names the option meant and --help: no usage of the short
    // options under it.
    Warn(parsed.mistake);
    return kExitUsage;
  }
  if (!parsed.ok) return Mistake(parsed.mistake);
  for (const std::string& warning : parsed.file_warnings) Warn(warning);
  if (!parsed.file_problem.empty()) {
    Warn(parsed.file_problem);
    return kExitUsage;
  }
  std::string mistake, locale_warning;
  if (!Validate(options, &mistake, &locale_warning)) {
    Warn(mistake);
    return kExitUsage;
  }
  if (!locale_warning.empty()) Warn(locale_warning);
  if (!SelectTables(options, tables, &mistake)) {
    Warn(mistake);
    return kExitUsage;
  }
  if (options.list) return ListTables(*tables);
  std::printf("\n");
  if (options.check) return CheckTables(options, *tables);
  return -1;
}

// The output the options name: one there is, and one it can be. An exit
// status when the run ends here, -1 otherwise.
int ValidateOutput(Options& options, const ScriptOutput& out) {
  const std::string no_mode = WhyNoMode(options);
  if (!no_mode.empty()) return Mistake(no_mode);
  if (options.write_dbc && (options.file || options.verify)) {
    Warn("--write-dbc writes client files from a server's tables: not with -f or --verify");
    return kExitUsage;
  }
  if (options.write_dbc) {
    const std::string why = WhyNotWriteFolder(*options.write_dbc);
    if (!why.empty()) {
      Warn(why);
      return kExitUsage;
    }
  }
  if (options.file && options.verify) {
    Warn("--verify compares a server's tables; a script (-f) has none to compare");
    return kExitUsage;
  }
  if (options.file && options.atomic) {
    Warn("--atomic swaps server tables; a script (-f) has none to swap");
    return kExitUsage;
  }
  if (out.console_shares) {
    Warn("-f " + *options.file +
         " writes the script to standard output, and standard error is the same file or pipe: "
         "the console would go into the script; send standard error elsewhere");
    return kExitUsage;
  }
  if (out.to_stdout && StandardDescriptorWasClosed(1)) {
    Warn("-f " + *options.file + ": standard output is closed; no script can be written");
    return kExitIncomplete;
  }
  return options.file ? -1 : PrepareServerMode(options);
}

// Opens the output, exports the tables and prints the summary.
int ExportAndSummarize(const Options& options, const std::vector<const TableDescriptor*>& tables,
                       int script_fd) {
  RunSummary summary(static_cast<int>(tables.size()), options.quiet);
  summary.KeepsOldRows(options.atomic);
  int status = kExitOk;
  std::string why;
  // A server is not even connected to without a client folder: nothing
  // would be exported, but the database would be created.
  if (const std::string folder = MissingClientFolder(); !options.file && !folder.empty()) {
    summary.PrintEarlyEnd(kExitIncomplete, folder);
    return kExitIncomplete;
  }
  // From here on a signal stops the run between rows; see InterruptGuard.
  InterruptGuard interrupts;
  std::unique_ptr<DBCFile> writer = OpenWriter(options, script_fd, &status, &why);
  if (!writer) {
    if (status == kExitIncomplete) summary.PrintEarlyEnd(status, why);
    return status;
  }
  if (options.quiet) writer->SetConsole(DBCFile::Console::kNothing);
  return Export(options, tables, *writer, summary);
}

}  // namespace

int RunTool(int argc, char** argv) {
  Parsed parsed = Parse(argc, argv);
  if (parsed.ok && parsed.options.version) {
    std::printf("%s %s\n", kProgramName, VESK_VERSION);
    return kExitOk;
  }
  const ScriptOutput out = TakeStandardOutput(parsed);
  std::vector<const TableDescriptor*> tables;
  if (const int status = EarlyModes(parsed, &tables); status >= 0) return status;
  if (const int status = ValidateOutput(parsed.options, out); status >= 0) return status;
  if (parsed.options.verify) return VerifyTables(parsed.options, tables);
  if (parsed.options.write_dbc) return WriteClientFiles(parsed.options, tables);
  return ExportAndSummarize(parsed.options, tables, out.fd);
}
