// --patch-archive=FILE: what --write-dbc would write, in one archive that
// the players' client reads as a patch. The files are written first into a
// folder of their own beside FILE, as --write-dbc writes them (with
// --changed-only, only those that differ from the client's), then packed;
// the archive replaces FILE whole and durably, and only when every table
// was written.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/modes.h"
#include "app/reading_run.h"
#include "app/run.h"
#include "dbc/client_archives.h"
#include "port/console.h"
#include "port/durable_file.h"
#include "port/interrupt.h"

namespace {

// Why FILE may not be replaced by this run: it is one of the archives the
// run reads.
std::string ReadByThisRun(const std::string& target) {
  const auto* archives = dynamic_cast<const ArchiveClientFiles*>(&ClientFiles::Active());
  if (!archives) return "";
  for (const std::string& archive : archives->Paths())
    if (SameFile(archive, target))
      return "--patch-archive=" + target +
             " is one of the client's archives this run reads: " + "it is never replaced";
  return "";
}

// A folder of its own beside `target`, removed with what it holds.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& target) {
    std::string name = FolderOf(target) + "/.vesk-patch.XXXXXX";
    if (::mkdtemp(name.data())) path_ = name;
  }
  ~StagingFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Packs `files` (as --write-dbc wrote them into `staging`) into FILE,
// durably; the console's last lines, or false with *why.
bool Pack(const std::string& target, const std::string& staging,
          const std::vector<std::string>& files, std::vector<std::string>* last, std::string* why) {
  std::vector<std::pair<std::string, std::string>> packed;
  last->push_back(target);
  for (const std::string& file : files) {
    const std::string name = file.substr(staging.size() + 1);
    packed.emplace_back(file, "DBFilesClient\\" + name);
    last->push_back("DBFilesClient\\" + name);
  }
  const std::string path = FollowLinks(target);
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  DurableFile archive;
  int error = 0;
  if (!archive.Open(path, exists ? &st : nullptr, &error)) {
    *why = target + " cannot be written: " + std::strerror(error);
    return false;
  }
  if (!WriteArchive(archive.path(), packed, why)) return false;  // (discarded)
  const DurableFile::Outcome out = archive.Commit();
  if (out.error) *why = target + " cannot be written: " + std::strerror(out.error);
  for (const std::string& fault : out.faults) *why += (why->empty() ? "" : "; ") + fault;
  return why->empty();
}

}  // namespace

std::string WhyNotPatchArchive(const Options& options) {
  const std::string& target = *options.patch_archive;
  struct stat st;
  if (::stat(FolderOf(target).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return "--patch-archive=" + target + ": there is no folder " + FolderOf(target);
  if (::stat(target.c_str(), &st) != 0) return "";
  if (!S_ISREG(st.st_mode)) return "--patch-archive=" + target + " is not a regular file";
  if (!IsOwnArchive(target))
    return "--patch-archive=" + target +
           " is not an archive this tool wrote: it is never replaced (remove it first)";
  return "";
}

int WritePatchArchive(RunContext& run) {
  const std::string& target = *run.options.patch_archive;
  if (const std::string why = ReadByThisRun(target); !why.empty())
    return run.report.FinishEarly(kExitUsage, why);
  ReadingRun reading(run);
  if (std::string why; !reading.Connect(&why)) return run.report.FinishEarly(kExitIncomplete, why);
  const StagingFolder staging(target);
  if (staging.path().empty()) {
    const std::string why =
        "no folder for the files beside " + target + ": " + std::strerror(errno);
    return run.report.FinishEarly(kExitIncomplete, why);
  }
  Options options = run.options;
  options.write_dbc = staging.path();
  std::vector<std::string> files;
  WriteEveryTable(run, options, reading, &files);
  bool ok = run.report.in_full() == run.report.total() && !PendingInterrupt();
  std::vector<std::string> last;
  std::string why;
  if (!ok) {
    last.push_back(target + " not written: not every table was written");
  } else if (files.empty()) {
    // An earlier patch of this tool would ship edits that are gone.
    bool removed = false;
    ok = RemoveDurably(target, &removed, &why);
    last.push_back(target + " not written: no file changed" +
                   (removed ? "; the earlier " + target + " removed" : ""));
  } else {
    ok = Pack(target, staging.path(), files, &last, &why);
  }
  if (!why.empty()) {
    Warn(why);
    last = {target + " not written: " + why};
  }
  return reading.Finish(ok, last);
}
