// --write-dbc=DIR: writes the client file of each chosen table into DIR from
// the database's rows, the client's own file serving as the template; one
// line per table. A table that cannot be written leaves no file.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/modes.h"
#include "app/reading_run.h"
#include "app/run.h"
#include "catalogue/catalogue.h"
#include "dbc/client_files.h"
#include "dbc/dbc_format.h"
#include "dbc/host_path.h"
#include "port/durable_file.h"
#include "roundtrip/table_write_back.h"

namespace {

// The name of a table's client file as found on disk (the catalogue's
// otherwise), without its folder.
std::string ClientFileName(const TableDescriptor& table) {
  const HostPath found = ResolveClientPath(table.file_path);
  const std::string& path = found.path;
  return path.substr(path.rfind('/') + 1);
}

// Whether two stats are of one file.
bool Same(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the client file `name` goes in --write-dbc's folder: a link there
// is followed, as -f follows one, but never into the client's own dbc
// folder. Empty, with the reason, when it may not be written.
std::string WriteTarget(const Options& options, const std::string& name, std::string* why) {
  const std::string path = *options.write_dbc + "/" + name;
  const std::string target = FollowLinks(path);
  struct stat folder, client;
  if (::stat(FolderOf(target).c_str(), &folder) == 0 &&
      ::stat(ResolveClientPath("dbc").path.c_str(), &client) == 0 && Same(folder, client)) {
    *why = path + " links into the client's own dbc folder, whose files are never overwritten";
    return "";
  }
  return target;
}

// What became of one table's files: the line's text after the table's
// name, the fault when nothing was written, and the files written (with
// --changed-only, those whose bytes differ from the client's).
struct Written {
  std::string text{};
  Fault fault{};
  bool done = false;
  std::vector<std::string> files{};  // as written, "DIR/Spell.dbc"
  bool unchanged = false;            // --changed-only: none differs
  // --changed-only: the files of an earlier patch that this run found
  // unchanged, removed from DIR so that it holds exactly the patch.
  std::vector<std::string> removed{};
};

// "; patch/Spell.dbc of an earlier patch removed" for the files removed.
std::string RemovedText(const std::vector<std::string>& removed) {
  std::string text;
  for (const std::string& file : removed) text += (text.empty() ? "" : ", ") + file;
  return text.empty() ? "" : "; " + text + " of an earlier patch removed";
}

Written NotWritten(FaultKind kind, const std::string& why) {
  return {"not written: " + why, {kind, why}, false};
}

// The reader's fault as a table's.
Written NotLoaded(const DBCFile& reader) {
  const Fault& fault = reader.FaultAt(reader.ExportFaults() - 1);
  return {"not written: " + fault.reason, fault};
}

// Whether the file open at `fd` holds the bytes of the client file at the
// catalogue path `client`, read where the run reads it: from the client
// folder, or out of its archive (a piece at a time: neither file is held in
// memory).
bool SameAsClient(int fd, const char* client) {
  std::unique_ptr<TableSource> source;
  Fault fault;
  struct stat st;
  if (!ClientFiles::Active().Open(client, &source, &fault) || ::fstat(fd, &st) != 0 ||
      static_cast<std::uint64_t>(st.st_size) != source->Size())
    return false;
  std::vector<std::uint8_t> ours(1 << 16), theirs(1 << 16);
  for (std::uint64_t at = 0; at < source->Size(); at += ours.size()) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(ours.size(), source->Size() - at));
    if (source->Read(theirs.data(), n) != n || ReadAt(fd, ours.data(), n, at) != 0 ||
        std::memcmp(ours.data(), theirs.data(), n) != 0)
      return false;
  }
  return true;
}

// Writes what `fill` writes as the client file `name` (with
// --changed-only, unless it is the bytes of the client file at the
// catalogue path `client`).
Written WriteOne(const Options& options, const std::string& name, const char* client,
                 const std::function<bool(int fd, std::string* why)>& fill) {
  std::string why;
  const std::string target = WriteTarget(options, name, &why);
  if (target.empty()) return NotWritten(FaultKind::kOutput, why);
  bool in_place = false, unchanged = false;
  const auto same = [client](int fd) { return SameAsClient(fd, client); };
  if (!WriteFileDurably(target, fill, &why, &in_place,
                        options.changed_only ? std::function<bool(int)>(same) : nullptr,
                        &unchanged))
    return {NotDurableLine(why, in_place), {FaultKind::kOutput, why}, false};
  Written out{.done = true, .unchanged = unchanged};
  const std::string path = *options.write_dbc + "/" + name;
  if (!unchanged) out.files.push_back(path);
  // An earlier patch's file of an unchanged table would ship an edit that
  // is gone: it goes (the file itself, never what a link names).
  bool removed = false;
  if (unchanged && !RemoveDurably(path, &removed, &why))
    return {name + " unchanged, not written; but " + why, {FaultKind::kOutput, why}, false};
  if (removed) out.removed.push_back(path);
  return out;
}

// The merged rating table's file, built in memory; empty, with the line,
// when it cannot be, or its rows do not map back onto its source files
// (levels 0 to 99, each source read in full).
std::string MergedFile(DBCFile& reader, TableWriteBack& builder, TableWriteBack::Counts* counts,
                       Written* failed) {
  const MemoryFile memory("vesk_rating");
  if (memory.fd() < 0) {
    *failed = NotWritten(FaultKind::kOutput, std::strerror(memory.error()));
    return "";
  }
  std::string why, merged;
  if (!builder.Build(reader.Table(), memory.fd(), counts, &why)) {
    *failed = NotWritten(FaultKind::kOther, why);
    return "";
  }
  if (!memory.Contents(&merged) || merged.size() < kDbcHeaderSize) {
    *failed = NotWritten(FaultKind::kOutput, "the merged table cannot be read back");
    return "";
  }
  if (counts->added || counts->left_out) {
    *failed = NotWritten(FaultKind::kOther,
                         "its rows do not map back onto its source files, which hold levels 0 to " +
                             std::to_string(RatingSources().front().levels - 1) + " (" +
                             std::to_string(counts->added) +
                             (counts->added == 1 ? " row added, " : " rows added, ") +
                             std::to_string(counts->left_out) + " left out)");
    return "";
  }
  return merged;
}

// The merged rating table goes back into its three source files, every
// one built before any is written.
Written WriteRatingFiles(const Options& options, DBCFile& reader, TableWriteBack& builder,
                         const TableDescriptor* table) {
  const unsigned faults = reader.ExportFaults();
  if (!reader.LoadRatingTable(table, RatingSources()) || reader.ExportFaults() != faults)
    return NotLoaded(reader);
  TableWriteBack::Counts counts;
  Written failed;
  const std::string merged = MergedFile(reader, builder, &counts, &failed);
  if (merged.empty()) return failed;
  std::vector<std::pair<const TableDescriptor*, std::string>> files;
  for (const RatingSource& source : RatingSources()) {
    if (!reader.Load(source.file)) return NotLoaded(reader);
    files.emplace_back(source.file, RatingSourceFile(merged, reader.Table(), source));
  }
  Written all{.done = true, .unchanged = true};
  std::string names, same;
  for (const auto& [file, bytes] : files) {
    const auto fill = [&bytes = bytes](int fd, std::string* reason) {
      const int error = WriteAt(fd, bytes.data(), bytes.size(), 0);
      if (error) *reason = std::string("cannot be written: ") + std::strerror(error);
      return error == 0;
    };
    const std::string name = ClientFileName(*file);
    Written one = WriteOne(options, name, file->file_path, fill);
    if (!one.done) return one;
    all.unchanged = all.unchanged && one.unchanged;
    all.files.insert(all.files.end(), one.files.begin(), one.files.end());
    all.removed.insert(all.removed.end(), one.removed.begin(), one.removed.end());
    (one.unchanged ? same : names) += ((one.unchanged ? same : names).empty() ? "" : ", ") + name;
  }
  if (all.unchanged) {
    all.text = same + " unchanged, not written" + RemovedText(all.removed);
    return all;
  }
  all.text = names + " written, " + std::to_string(counts.records) + " levels (" +
             std::to_string(counts.changed) + " changed)" +
             (same.empty() ? "" : "; " + same + " unchanged") + RemovedText(all.removed);
  return all;
}

// One table's client file.
Written WriteTableFile(const Options& options, DBCFile& reader, TableWriteBack& builder,
                       const TableDescriptor* table) {
  if (IsMergedTable(*table)) return WriteRatingFiles(options, reader, builder, table);
  if (!reader.Load(table)) return NotLoaded(reader);
  TableWriteBack::Counts counts;
  const std::string name = ClientFileName(*table);
  Written out = WriteOne(options, name, table->file_path, [&](int fd, std::string* reason) {
    return builder.Build(reader.Table(), fd, &counts, reason);
  });
  if (out.unchanged)
    out.text = name + " unchanged, not written" + RemovedText(out.removed);
  else if (out.done)
    out.text = name + " written, " + std::to_string(counts.records) + " records (" +
               std::to_string(counts.changed) + " changed, " + std::to_string(counts.added) +
               " added, " + std::to_string(counts.left_out) + " left out)";
  return out;
}

}  // namespace

std::string NotDurableLine(const std::string& why, bool in_place) {
  return (in_place ? "written, but " : "not written: ") + why;
}

std::string WhyNotWriteFolder(const Options& options) {
  const std::string& folder = *options.write_dbc;
  struct stat dir;
  if (::stat(folder.c_str(), &dir) != 0)
    return "--write-dbc=" + folder + ": " + std::strerror(errno);
  if (!S_ISDIR(dir.st_mode)) return "--write-dbc=" + folder + " is not a folder";
  for (const char* path : ClientFilePaths()) {
    const HostPath input = ResolveClientPath(path);
    struct stat in, there, parent;
    if (::stat(input.path.c_str(), &in) != 0) continue;
    if (::stat(FolderOf(input.path).c_str(), &parent) == 0 && Same(parent, dir))
      return "--write-dbc=" + folder +
             " is the client's own dbc folder: its files are never overwritten";
    const std::string there_path = folder + "/" + input.path.substr(input.path.rfind('/') + 1);
    if (::stat(there_path.c_str(), &there) == 0 && Same(there, in))
      return "--write-dbc=" + folder + " holds the client file " + path +
             ", which is never overwritten";
  }
  return "";
}

void WriteEveryTable(RunContext& run, const Options& options, ReadingRun& reading,
                     std::vector<std::string>* written_files) {
  TableWriteBack builder(reading.session);
  for (const TableDescriptor* table : run.tables) {
    if (PendingInterrupt()) break;
    std::string why;
    Written written = reading.ChooseSlot(*table, &why)
                          ? WriteTableFile(options, reading.reader, builder, table)
                          : NotWritten(FaultKind::kOther, why);
    TableEntry entry{.table = table};
    entry.status = !written.done       ? FailedFor(written.fault)
                   : written.unchanged ? TableStatus::kSkipped
                                       : TableStatus::kWritten;
    written_files->insert(written_files->end(), written.files.begin(), written.files.end());
    entry.fault = std::move(written.fault);
    entry.line = std::string(table->table_name) + ": " + written.text;
    run.report.TableDone(std::move(entry));
  }
}

int WriteClientFiles(RunContext& run) {
  ReadingRun reading(run);
  if (std::string why; !reading.Connect(&why)) return run.report.FinishEarly(kExitIncomplete, why);
  std::vector<std::string> written_files;
  WriteEveryTable(run, run.options, reading, &written_files);
  // With --changed-only, the patch: the files written, one per line.
  return reading.Finish(run.report.in_full() == run.report.total(),
                        run.options.changed_only ? written_files : std::vector<std::string>{});
}
