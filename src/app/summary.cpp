#include "app/summary.h"

#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>

#include "catalogue/catalogue.h"
#include "dbc/host_path.h"
#include "port/interrupt.h"
#include "port/program.h"

namespace {

constexpr const char* kName = kProgramName;
// Tables that failed for one reason are said in one line from this many.
constexpr std::size_t kGroup = 3;

// The client file as found on disk ("dbc/SPELL.DBC"), or the catalogue's
// path when it is not there.
std::string OnDisk(const char* catalogue_path) {
  const HostPath host = ResolveClientPath(catalogue_path);
  struct stat st;
  return host.ambiguous.empty() && ::stat(host.path.c_str(), &st) == 0 ? host.path : catalogue_path;
}

// A reason with the client file named as found on disk, and the likely
// cause of a wrong field count.
std::string Explained(const TableDescriptor& table, std::string reason) {
  if (!IsMergedTable(table)) {
    const std::string path = table.file_path;
    if (reason.compare(0, path.size(), path) == 0)
      reason.replace(0, path.size(), OnDisk(path.c_str()));
  }
  if (reason.find(" have wrong field Count (") != std::string::npos)
    reason += " (written by another client version?)";
  return reason;
}

// The reason without the file it names ("not exist"), so that tables that
// failed alike share it.
std::string Shared(const std::string& reason) {
  if (reason.compare(0, 4, "dbc\\") != 0) return reason;
  const std::size_t blank = reason.find(' ');
  return blank == std::string::npos ? reason : "client file " + reason.substr(blank + 1);
}

}  // namespace

void RunSummary::TableDone(const TableDescriptor& table, bool in_full, const std::string& reason,
                           std::uint32_t rows, std::uint32_t records, unsigned code) {
  ++tables_;
  if (!in_full) missed_.push_back({&table, reason, rows, records, code});
}

void RunSummary::Print(int status, std::uint64_t rows, std::uint64_t bytes, bool server) const {
  if (quiet_ && status == 0 && notes_.empty()) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fflush(stdout);
  const int in_full = tables_ - static_cast<int>(missed_.size());
  std::string out;
  char line[160];
  if (signal_) {
    std::snprintf(line, sizeof line, "%s: interrupted by %s after %d of %d tables; exit status %d",
                  kName, SignalName(signal_), in_full, total_, status);
  } else {
    // A script that failed to be written or to take its target's place
    // holds no table.
    const bool lost = output_lost_ || !output_faults_.empty();
    std::snprintf(line, sizeof line, "%s: %d of %d tables exported in full; exit status %d", kName,
                  lost ? 0 : in_full, total_, status);
  }
  out += Wrap(line, "", "  ");
  std::string written = std::to_string(rows) + " rows";
  written += server ? " applied on the server" : ", " + std::to_string(bytes) + " bytes written";
  std::snprintf(line, sizeof line, "%s in %.2f s", written.c_str(), seconds);
  out += Wrap(line, "  ", "    ");
  std::fputs((out + Body()).c_str(), stderr);
}

void RunSummary::PrintCheck(int status) const {
  if (quiet_ && status == 0) return;
  std::fflush(stdout);
  char line[160];
  std::snprintf(line, sizeof line, "%s: %d of %zu tables would be exported in full; exit status %d",
                kName, tables_ - static_cast<int>(missed_.size()), static_cast<std::size_t>(total_),
                status);
  std::fputs((Wrap(line, "", "  ") + Body()).c_str(), stderr);
}

std::string RunSummary::Body() const {
  std::string out;
  // The causes first, then the notes, then the tables.
  for (const std::string& cause : causes_) out += Wrap(cause, "  ", "    ");
  for (const std::string& fault : output_faults_) out += Wrap(fault, "  ", "    ");
  for (const std::string& note : notes_) out += Wrap(note, "  ", "    ");
  // Tables that failed before their first row with one server error, or
  // one reason, are said together.
  const auto key = [](const Missed& m) {
    return m.code ? "#" + std::to_string(m.code) : Shared(m.reason);
  };
  std::map<std::string, std::vector<const Missed*>> alike;
  for (const Missed& missed : missed_)
    if (missed.rows == 0) alike[key(missed)].push_back(&missed);
  const auto table_line = [this](const Missed& missed) {
    const TableDescriptor& table = *missed.table;
    std::string text = std::string(table.table_name) + " (" +
                       (IsMergedTable(table) ? FilesOf(table) : OnDisk(table.file_path)) + "): ";
    // (Server errors are below 2000, the client library's own from 2000.)
    if (missed.rows > 0 && keeps_old_rows_ && missed.code > 0 && missed.code < 2000)
      return Wrap(text + "refused at row " + std::to_string(missed.rows + 1) + " (" +
                      missed.reason + "); its old rows are kept",
                  "  ", "    ");
    if (missed.rows > 0)
      text +=
          std::to_string(missed.rows) + " of " + std::to_string(missed.records) + " rows, then ";
    return Wrap(text + Explained(table, missed.reason), "  ", "    ");
  };
  for (const Missed& missed : missed_) {
    const auto group = alike.find(key(missed));
    if (missed.rows != 0 || group == alike.end() || group->second.size() < kGroup) {
      out += table_line(missed);
      continue;
    }
    const std::vector<const Missed*>& members = group->second;
    if (members.front() != &missed) continue;
    const bool every = members.size() == static_cast<std::size_t>(total_);
    bool same_text = true;
    for (const Missed* m : members)
      same_text = same_text && Shared(m->reason) == Shared(missed.reason);
    std::string names;
    for (std::size_t i = same_text ? 0 : 1; i < members.size(); ++i)
      names += (names.empty() ? "" : ", ") + std::string(members[i]->table->table_name);
    if (same_text) {
      out += every ? Wrap("every table, " + Shared(missed.reason), "  ", "    ")
                   : Wrap(std::to_string(members.size()) + " tables, " + Shared(missed.reason) +
                              ": " + names,
                          "  ", "    ");
      continue;
    }
    // The first refusal in full, then the others that failed alike.
    out += table_line(missed);
    out += every ? Wrap("every table, alike", "  ", "    ")
                 : Wrap(std::to_string(members.size() - 1) + " more tables, alike: " + names, "  ",
                        "    ");
  }
  // Tables exported before the output failed went with it.
  const int before = tables_ - static_cast<int>(missed_.size());
  if ((output_lost_ || !output_faults_.empty()) && before > 0 && !signal_)
    out += Wrap(std::to_string(before) + (before == 1 ? " table was" : " tables were") +
                    " written before the output failed, and are lost with it",
                "  ", "    ");
  if (tables_ < total_ && !signal_) {
    const int left = total_ - tables_;
    const bool same = !missed_.empty() && missed_.back().reason == ended_;
    out +=
        Wrap("the run ended " + (same ? std::string("there") : "before the next table: " + ended_) +
                 ": " + std::to_string(left) + (left == 1 ? " table" : " tables") + " not reached",
             "  ", "    ");
  }
  return out;
}

void RunSummary::PrintEarlyEnd(int status, const std::string& why) const {
  std::fflush(stdout);
  std::fputs(Wrap(std::string(kName) + ": no table exported: " + why + "; exit status " +
                      std::to_string(status),
                  "", "  ")
                 .c_str(),
             stderr);
}
