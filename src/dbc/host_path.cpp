#include "dbc/host_path.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entries of `folder` whose name equals `name` ignoring ASCII case.
std::vector<std::string> FindIgnoringCase(const std::string& folder, const std::string& name) {
  std::vector<std::string> found;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()),
                                          ::closedir);
  if (!dir) return found;
  while (const dirent* entry = ::readdir(dir.get()))
    if (::strcasecmp(entry->d_name, name.c_str()) == 0) found.push_back(entry->d_name);
  std::sort(found.begin(), found.end());
  return found;
}

std::string HostSeparators(const char* stored_path) {
  std::string path(stored_path);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The absolute path with every link resolved; empty if it does not exist.
std::string RealPath(const std::string& path) {
  std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), ::free);
  return real ? std::string(real.get()) : std::string();
}

void SplitLast(const std::string& path, std::string* folder, std::string* name) {
  const std::size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string& Folder() {
  static std::string folder;
  return folder;
}

std::string& TableFolder() {
  static std::string name;
  return name;
}

}  // namespace

void SetTableFolder(const std::string& name) { TableFolder() = name; }
void SetClientFolder(const std::string& folder) { Folder() = folder; }
const std::string& ClientFolder() { return Folder(); }

HostPath ResolveClientPath(const char* stored_path) {
  HostPath result;
  std::string exact = HostSeparators(stored_path);
  if (!TableFolder().empty() && (exact == "dbc" || exact.starts_with("dbc/")))
    exact = TableFolder() + exact.substr(3);
  if (!Folder().empty() && !exact.empty() && exact[0] != '/') exact = Folder() + "/" + exact;
  result.path = exact;
  if (exact.empty() || Exists(exact)) return result;

  // Rebuild the path one component at a time.
  std::string resolved;
  std::size_t start = 0;
  if (exact[0] == '/') {
    resolved = "/";
    start = 1;
  }
  while (start <= exact.size()) {
    std::size_t end = exact.find('/', start);
    if (end == std::string::npos) end = exact.size();
    const std::string component = exact.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    std::string found = component;
    if (!Exists(resolved + component)) {
      const std::vector<std::string> matches = FindIgnoringCase(resolved, component);
      if (matches.empty()) return result;  // not there in any case: let the caller report it
      if (matches.size() > 1) {
        for (const std::string& match : matches) result.ambiguous.push_back(resolved + match);
        return result;
      }
      found = matches[0];
    }
    resolved += found;
    if (end < exact.size()) resolved += '/';
  }
  result.path = resolved;
  return result;
}

bool IsClientFile(const char* target, const char* stored_path) {
  // The target as it would be written: links followed.
  std::string target_real = RealPath(target);
  std::string target_folder, target_name;
  if (target_real.empty()) {
    SplitLast(target, &target_folder, &target_name);
    target_folder = RealPath(target_folder);
    if (target_folder.empty()) return false;  // it cannot be created anyway
  } else {
    SplitLast(target_real, &target_folder, &target_name);
  }

  const std::string stored = HostSeparators(stored_path);
  std::string client_folder, client_name;
  SplitLast(stored, &client_folder, &client_name);
  const HostPath folder = ResolveClientPath(client_folder.c_str());
  if (RealPath(folder.path) == target_folder &&
      ::strcasecmp(target_name.c_str(), client_name.c_str()) == 0)
    return true;

  // Another name of the same file: a hard link, or a link the lookup follows.
  struct stat a, b;
  return !target_real.empty() && ::stat(target_real.c_str(), &a) == 0 &&
         ::stat(ResolveClientPath(stored_path).path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}
