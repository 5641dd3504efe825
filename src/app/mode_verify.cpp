// --verify: compares each chosen table in the database with the rows of its
// client files, one line per table; changes nothing. Exit 0 when all are
// equal, 1 otherwise.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <string_view>

#include "app/modes.h"
#include "app/reading_run.h"
#include "app/run.h"
#include "catalogue/catalogue.h"
#include "dbc/host_path.h"
#include "dbc/utf8.h"
#include "port/console.h"
#include "port/durable_file.h"
#include "port/interrupt.h"
#include "roundtrip/table_verifier.h"

namespace {

// `value` quoted, cut to `width` columns with "..." (never inside a
// character), its first `skip` characters left out for a "..." of their
// own; NULL as it is.
std::string Shown(const std::string& value, std::size_t width, std::size_t skip = 0) {
  if (value == "NULL") return value;
  if (skip == 0 && CharacterCount(value) + 2 <= width) return '"' + value + '"';
  std::string cut = skip ? "..." : "";
  std::size_t n = cut.size(), seen = 0;
  bool whole = true;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const bool starts = StartsCharacter(value[i]);
    seen += starts;
    if (seen <= skip) continue;
    if (starts && n + 5 >= width) {
      whole = false;
      break;  // room for the quotes and "..."
    }
    n += starts;
    cut += value[i];
  }
  return '"' + cut + (whole ? "\"" : "...\"");
}

// The characters the two texts share at their start.
std::size_t SharedStart(const std::string& a, const std::string& b) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size() && a[i] == b[i]; ++i)
    characters += StartsCharacter(a[i]);
  return characters;
}

}  // namespace

std::string ValueLine(const DifferingValue& value) {
  const std::string head = "  " + value.key + " " + value.column + ": database ";
  constexpr std::size_t kLine = 80;
  const std::size_t fixed = CharacterCount(head) + std::string_view(", client ").size();
  // Each value gets half the room left, 12 columns at least.
  const std::size_t room = fixed + 24 < kLine ? (kLine - fixed) / 2 : 12;
  std::string database = Shown(value.database, room), client = Shown(value.client, room);
  // Cut alike, they would look equal: both start a little before the first
  // character that differs.
  if (database == client && value.database != value.client) {
    const std::size_t shared = SharedStart(value.database, value.client);
    const std::size_t skip = shared > 4 ? shared - 4 : 0;
    database = Shown(value.database, room, skip);
    client = Shown(value.client, room, skip);
  }
  return head + database + ", client " + client;
}

std::string WhyNotDiffFile(const Options& options) {
  if (!options.diff_sql) return "";
  const std::string target = FollowLinks(*options.diff_sql);
  for (const char* path : ClientFilePaths())
    if (IsClientFile(target.c_str(), path))
      return "--diff-sql=" + *options.diff_sql + " is the client file " + path +
             ", which is never overwritten";
  struct stat st;
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return "--diff-sql=" + *options.diff_sql + " is not a regular file";
  return "";
}

namespace {

// Compares every chosen table, one line each; with `diff`, writes the
// statements of each table that differs to `fd`. False when the statements
// could not be written (*why) or a signal stopped the run.
bool CompareTables(RunContext& run, ReadingRun& reading, DiffStatements* diff, int fd,
                   std::string* why) {
  TableVerifier verifier(reading.session);
  DBCFile& reader = reading.reader;
  for (const TableDescriptor* table : run.tables) {
    if (PendingInterrupt()) return false;
    TableEntry entry{.table = table};
    std::string what;
    if (!reading.ChooseSlot(*table, &what)) {
      entry.fault = {FaultKind::kOther, what};
      what = "cannot be compared: " + what;
      entry.status = TableStatus::kFailed;
    } else if (!(IsMergedTable(*table) ? reader.LoadRatingTable(table, RatingSources())
                                       : reader.Load(table))) {
      entry.fault = reader.FaultAt(reader.ExportFaults() - 1);
      what = "cannot be compared: " + entry.fault.reason;
      entry.status = FailedFor(entry.fault);
    } else {
      entry.records = reader.Table().RecordCount();
      if (reader.Table().HasLocalizedTexts())
        entry.slot = static_cast<int>(reader.Table().Locale());
      entry.status = verifier.Compare(reader.Table(), &what, &entry.values, diff)
                         ? TableStatus::kEqual
                         : TableStatus::kDiffers;
      for (const DifferingValue& value : entry.values) entry.details.push_back(ValueLine(value));
      const std::string_view statements = diff ? diff->End() : std::string_view();
      if (const int error = WriteAll(fd, statements.data(), statements.size()); error) {
        *why = *run.options.diff_sql + " cannot be written: " + std::strerror(error);
        return false;
      }
    }
    if (PendingInterrupt()) return false;
    entry.line = std::string(table->table_name) + ": " + what;
    run.report.TableDone(std::move(entry));
  }
  return true;
}

}  // namespace

int VerifyTables(RunContext& run) {
  ReadingRun reading(run);
  if (std::string why; !reading.Connect(&why)) return run.report.FinishEarly(kExitIncomplete, why);
  if (!run.options.diff_sql) {
    std::string why;
    CompareTables(run, reading, nullptr, -1, &why);
    return reading.Finish(run.report.missed() == 0);
  }
  // The statements go into the new file as the tables are compared; it
  // replaces the old one only once every table was.
  DiffStatements diff;
  bool in_place = false;
  std::string why;
  const bool written = WriteFileDurably(
      FollowLinks(*run.options.diff_sql),
      [&](int fd, std::string* reason) {
        static constexpr std::string_view kHead =
            "-- The statements that turn the client's rows into the database's.\n"
            "SET NAMES `utf8mb4`;\n";
        if (const int error = WriteAll(fd, kHead.data(), kHead.size()); error) {
          *reason = *run.options.diff_sql + " cannot be written: " + std::strerror(error);
          return false;
        }
        return CompareTables(run, reading, &diff, fd, reason) && !PendingInterrupt();
      },
      &why, &in_place);
  if (!written && !why.empty()) {
    const std::string line =
        "--diff-sql=" + *run.options.diff_sql + ": " + NotDurableLine(why, in_place);
    Warn(line);
    run.report.OutputFault(line);
  }
  return reading.Finish(run.report.missed() == 0 && written);
}
