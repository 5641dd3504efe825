#include "app/text_report.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "app/client_layout.h"
#include "catalogue/catalogue.h"
#include "dbc/host_path.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "port/program.h"

namespace {

// Tables that failed alike are said in one line from this many.
constexpr std::size_t kAlikeInOneLine = 3;

// The client file as found on disk ("dbc/SPELL.DBC") or in its archive,
// or the catalogue's path when it is not there.
std::string OnDisk(const char* catalogue_path) {
  // (Or in the archive it is read from.)
  if (const std::string archive = ClientLayout::SourceOf(catalogue_path); !archive.empty())
    return ArchiveClientFiles::ArchivedName(catalogue_path) + " in " + archive;
  const HostPath host = ResolveClientPath(catalogue_path);
  struct stat st;
  return host.ambiguous.empty() && ::stat(host.path.c_str(), &st) == 0 ? host.path : catalogue_path;
}

// A fault's reason with its client file named as found on disk, and the
// likely cause of a wrong field count.
std::string Explained(const TableDescriptor& table, const Fault& fault) {
  std::string reason = fault.reason;
  if (!IsMergedTable(table) && !fault.file.empty() && reason.starts_with(fault.file))
    reason.replace(0, fault.file.size(), OnDisk(fault.file.c_str()));
  if (fault.kind == FaultKind::kWrongFieldCount) reason += " (written by another client version?)";
  return reason;
}

// The reason without the file it names ("client file not exist"), so that
// tables that failed alike share it.
std::string Shared(const Fault& fault) {
  return fault.file.empty() ? fault.reason : "client file " + fault.WithoutFile();
}

// What tables that failed alike share: one server error, or one kind of
// fault with one reason but for its file.
std::string AlikeKey(const TableEntry& entry) {
  const Fault& fault = entry.fault;
  // (Appended, not prefixed: GCC 12 takes "#" + a string for an
  // overlapping copy at -O2.)
  if (fault.code) return std::string("#").append(std::to_string(fault.code));
  return std::string(FaultKindName(fault.kind)) + ":" + Shared(fault);
}

std::string Indented(const std::string& text) { return Wrap(text, "  ", "    "); }

// One table not exported in full, with how far it got.
std::string TableLine(const RunReport& report, const TableEntry& missed) {
  const TableDescriptor& table = *missed.table;
  std::string text = std::string(table.table_name) + " (" +
                     (IsMergedTable(table) ? FilesOf(table) : OnDisk(table.file_path)) + "): ";
  const unsigned code = missed.fault.code;
  // (Server errors are below 2000, the client library's own from 2000.)
  if (missed.rows > 0 && report.keeps_old_rows() && code > 0 && code < 2000)
    return Indented(text + "refused at row " + std::to_string(missed.rows + 1) + " (" +
                    missed.fault.reason + "); its old rows are kept");
  if (missed.rows > 0)
    text += std::to_string(missed.rows) + " of " + std::to_string(missed.records) + " rows, then ";
  return Indented(text + Explained(table, missed.fault));
}

// Tables that failed alike, from the first of them: said together.
std::string AlikeLines(const RunReport& report, const std::vector<const TableEntry*>& members) {
  const TableEntry& first = *members.front();
  const bool every = static_cast<int>(members.size()) == report.total();
  bool same_text = true;
  for (const TableEntry* m : members)
    same_text = same_text && Shared(m->fault) == Shared(first.fault);
  std::string names;
  for (std::size_t i = same_text ? 0 : 1; i < members.size(); ++i)
    names += (names.empty() ? "" : ", ") + std::string(members[i]->table->table_name);
  if (same_text)
    return Indented(every ? "every table, " + Shared(first.fault)
                          : std::to_string(members.size()) + " tables, " + Shared(first.fault) +
                                ": " + names);
  // The first refusal in full, then the others that failed alike.
  return TableLine(report, first) +
         Indented(every ? std::string("every table, alike")
                        : std::to_string(members.size() - 1) + " more tables, alike: " + names);
}

// The lines after the headline and the rows: causes, notes, tables.
std::string Body(const RunReport& report) {
  std::string out;
  for (const std::string& cause : report.causes()) out += Indented(cause);
  for (const std::string& fault : report.output_faults()) out += Indented(fault);
  for (const std::string& note : report.notes()) out += Indented(note);
  if (const int skipped = report.skipped(); skipped > 0)
    out += Indented(std::to_string(skipped) + (skipped == 1 ? " table was" : " tables were") +
                    " unchanged since loaded from the same client files, and skipped");
  // Tables that failed before their first row alike are said together.
  std::map<std::string, std::vector<const TableEntry*>> alike;
  for (const TableEntry& entry : report.entries())
    if (!InFull(entry.status) && entry.rows == 0) alike[AlikeKey(entry)].push_back(&entry);
  for (const TableEntry& entry : report.entries()) {
    if (InFull(entry.status)) continue;
    const auto group = alike.find(AlikeKey(entry));
    if (entry.rows != 0 || group == alike.end() || group->second.size() < kAlikeInOneLine)
      out += TableLine(report, entry);
    else if (group->second.front() == &entry)
      out += AlikeLines(report, group->second);
  }
  const int done = static_cast<int>(report.entries().size());
  const bool lost = report.output_lost() || !report.output_faults().empty();
  // Tables exported before the output failed went with it.
  if (lost && report.in_full() > 0 && !report.signal_number())
    out += Indented(std::to_string(report.in_full()) +
                    (report.in_full() == 1 ? " table was" : " tables were") +
                    " written before the output failed, and are lost with it");
  if (done < report.total() && !report.signal_number()) {
    const int left = report.total() - done;
    const bool same = report.missed() > 0 && report.entries().back().fault.reason == report.ended();
    out +=
        Indented("the run ended " +
                 (same ? std::string("there") : "before the next table: " + report.ended()) + ": " +
                 std::to_string(left) + (left == 1 ? " table" : " tables") + " not reached");
  }
  return out;
}

// The end of an export.
void SayExport(const RunReport& report) {
  const int status = report.status();
  if (!report.early_end().empty()) {
    std::fflush(stdout);
    std::fputs(Wrap(std::string(kProgramName) + ": no table exported: " + report.early_end() +
                        "; exit status " + std::to_string(status),
                    "", "  ")
                   .c_str(),
               stderr);
    return;
  }
  if (report.quiet() && status == 0 && report.notes().empty()) return;
  std::fflush(stdout);
  std::string out;
  char line[160];
  if (report.signal_number()) {
    std::snprintf(line, sizeof line, "%s: %s after %d of %d tables; exit status %d", kProgramName,
                  InterruptedBy(report.signal_number()).c_str(), report.in_full(), report.total(),
                  status);
  } else {
    // A script that failed to be written or to take its target's place
    // holds no table.
    const bool lost = report.output_lost() || !report.output_faults().empty();
    std::snprintf(line, sizeof line, "%s: %d of %d tables exported in full; exit status %d",
                  kProgramName, lost ? 0 : report.in_full(), report.total(), status);
  }
  out += Wrap(line, "", "  ");
  std::string written = std::to_string(report.rows()) + (report.rows() == 1 ? " row" : " rows");
  written += std::strcmp(report.output(), "server") == 0
                 ? " applied on the server"
                 : ", " + std::to_string(report.bytes()) + " bytes written";
  std::snprintf(line, sizeof line, "%s in %.2f s", written.c_str(), report.seconds());
  out += Wrap(line, "  ", "    ");
  std::fputs((out + Body(report)).c_str(), stderr);
}

// The end of --check.
void SayCheck(const RunReport& report) {
  if (report.quiet() && report.status() == 0 && report.notes().empty()) return;
  std::fflush(stdout);
  char line[160];
  std::snprintf(line, sizeof line, "%s: %d of %d tables would be exported in full; exit status %d",
                kProgramName, report.in_full(), report.total(), report.status());
  std::fputs((Wrap(line, "", "  ") + Body(report)).c_str(), stderr);
}

// The end of a mode that counts its tables: how it went (under --quiet
// only when it failed), or, when a signal stopped it, how far it got.
void SayCount(const RunReport& report) {
  const ModeWords& words = report.words();
  const int status = report.status();
  if (!report.early_end().empty()) {
    Warn(std::string(words.none) + ": " + report.early_end() + "; exit status " +
         std::to_string(status));
    return;
  }
  const std::string total = std::to_string(report.total());
  if (const int signal_number = report.signal_number()) {
    // (Counting the tables missed, all that were gone through count.)
    const int done =
        words.count_missed ? static_cast<int>(report.entries().size()) : report.in_full();
    Warn(InterruptedBy(signal_number) + " after " + std::to_string(done) + " of " + total +
         " tables " + words.done + "; exit status " + std::to_string(status));
    return;
  }
  // What the tables not counted are, each kind with its count.
  std::string more;
  const auto add = [&more](int n, const char* what) {
    if (n > 0 && *what) more += ", " + std::to_string(n) + " " + what;
  };
  add(report.skipped(), words.skipped);
  add(report.count(TableStatus::kMissing), "without a client file");
  add(report.count(TableStatus::kFailed) + report.count(TableStatus::kPartial), words.failed);
  const int counted = report.count(words.counted);
  if (!report.quiet() || status != 0)
    Warn(std::to_string(counted) + " of " + total + " " +
         (counted == 1 ? words.count_one : words.count) + more + "; exit status " +
         std::to_string(status));
}

}  // namespace

void TextReport::TableEnded(const RunReport& report, const TableEntry& entry) {
  const ModeWords& words = report.words();
  if (!words.table_lines) return;  // (an export's writers print their own)
  std::printf("%s\n", entry.line.c_str());
  for (const std::string& detail : entry.details) std::printf("%s\n", detail.c_str());
  if (words.failed_lines_on_stderr && report.quiet() && !InFull(entry.status)) {
    WarnLine(entry.line);
    std::fflush(stdout);
    for (const std::string& detail : entry.details) std::fprintf(stderr, "%s\n", detail.c_str());
  }
}

void TextReport::Ended(const RunReport& report) {
  switch (report.words().ending) {
    case ModeWords::Ending::kExport: return SayExport(report);
    case ModeWords::Ending::kCheck: return SayCheck(report);
    case ModeWords::Ending::kCount: return SayCount(report);
  }
}
