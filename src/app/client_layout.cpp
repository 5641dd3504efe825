#include "app/client_layout.h"

#include <sys/stat.h>

#include <sstream>
#include <vector>

#include "dbc/host_path.h"
#include "port/console.h"

namespace {

bool IsFolder(const HostPath& path) {
  struct stat st;
  return path.ambiguous.empty() && ::stat(path.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A path below the client folder as the run names it: from that folder.
std::string Named(const std::string& path) {
  const std::string& folder = ClientFolder();
  if (!folder.empty() && path.starts_with(folder + "/")) return path.substr(folder.size() + 1);
  return path;
}

}  // namespace

ClientLayout::~ClientLayout() {
  if (archives_) ClientFiles::SetActive(&DiskClientFiles::Instance());
}

bool ClientLayout::Choose(const Options& options, std::string* why) {
  std::vector<std::string> archives;
  if (options.archives) {
    std::istringstream lines(*options.archives);
    for (std::string line; std::getline(lines, line);) archives.push_back(line);
  } else {
    if (IsFolder(ResolveClientPath("dbc"))) return true;
    if (const HostPath extracted = ResolveClientPath("DBFilesClient"); IsFolder(extracted)) {
      SetTableFolder(Named(extracted.path));
      if (!options.quiet)
        Warn("there is no folder dbc: the client files are read from the folder DBFilesClient");
      return true;
    }
    const HostPath data = ResolveClientPath("Data");
    if (!IsFolder(data)) return true;  // nothing else: the dbc folder is missing, as said
    if (!FindClientArchives(data.path, options.client_locale.value_or(""), &archives, why)) {
      *why = "there is no folder dbc, and " + *why;
      return false;
    }
    if (!options.quiet)
      Warn("there is no folder dbc: the client files are read from the archives in " +
           Named(data.path) + " (" + std::to_string(archives.size()) +
           (archives.size() == 1 ? " archive; " : " archives; ") + Named(archives.back()) +
           " wins)");
  }
  archives_ = std::make_unique<ArchiveClientFiles>();
  if (!archives_->OpenAll(archives, why)) {
    archives_.reset();
    return false;
  }
  ClientFiles::SetActive(archives_.get());
  return true;
}

std::string ClientLayout::SourceOf(const char* catalogue_path) {
  return Named(ClientFiles::Active().SourceOf(catalogue_path));
}

std::string ClientLayout::FilesOf(const TableDescriptor& table) {
  std::string files;
  for (const char* path : FilePathsOf(table)) {
    const std::string source = SourceOf(path);
    files += (files.empty() ? "" : ", ") +
             (source.empty() ? std::string(path)
                             : ArchiveClientFiles::ArchivedName(path) + " in " + source);
  }
  return files;
}

std::string ClientLayout::SourcesOf(const TableDescriptor& table) {
  std::string sources;
  for (const char* path : FilePathsOf(table)) {
    std::string source = SourceOf(path);
    if (source.empty()) source = ResolveClientPath(path).path;
    sources += (sources.empty() ? "" : ", ") + source;
  }
  return sources;
}
