#include "dbc/host_path.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <memory>

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Finds an entry of `folder` whose name equals `name` ignoring ASCII case.
bool FindIgnoringCase(const std::string& folder, const std::string& name,
                      std::string* found) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(
      ::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
      *found = entry->d_name;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ResolveClientPath(const char* stored_path) {
  std::string exact(stored_path);
  for (char& c : exact)
    if (c == '\\') c = '/';
  if (exact.empty() || Exists(exact)) return exact;

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
    std::string component = exact.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    std::string found = component;
    if (!Exists(resolved + component) && !FindIgnoringCase(resolved, component, &found))
      return exact;  // not there in any case: let the caller report it
    resolved += found;
    if (end < exact.size()) resolved += '/';
  }
  return resolved;
}
