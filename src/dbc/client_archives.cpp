#include "dbc/client_archives.h"

#include <StormLib.h>
#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "port/mutex.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The names in `folder`, sorted.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A locale folder's name: two letters and two more ("ruRU"), any case.
bool IsLocaleName(const std::string& name) {
  return name.size() == 4 && std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalpha(static_cast<unsigned char>(c)) != 0;
         });
}

// Which expansion a base archive belongs to: its newer files win.
int Expansion(const std::string& lower_name) {
  if (lower_name.find("lichking") != std::string::npos) return 2;
  if (lower_name.find("expansion") != std::string::npos) return 1;
  return 0;
}

// The reason StormLib gives for its last failure, as words.
std::string StormError() {
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_FILE_CORRUPT: return "the archive is damaged";
    case ERROR_CHECKSUM_ERROR: return "a checksum of the file does not match";
    case ERROR_BAD_FORMAT: return "not an archive (or a damaged one)";
    case ERROR_FILE_INCOMPLETE: return "the file is incomplete";
    case ERROR_HANDLE_EOF: return "the archive ends early";
    default:
      return error < 10000 ? std::strerror(static_cast<int>(error))
                           : "StormLib error " + std::to_string(error);
  }
}

}  // namespace

int ArchiveRank(const std::string& file_name) {
  const std::string name = Lower(file_name);
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".mpq") != 0) return -1;
  if (!name.starts_with("patch")) return 0;
  const std::string rest = name.substr(5, name.size() - 9);  // "", "-2", "-ruru", "-ruru-2"
  const std::size_t dash = rest.rfind('-');
  if (dash == std::string::npos) return rest.empty() ? 1 : 0;
  const std::string suffix = rest.substr(dash + 1);
  if (suffix.size() != 1) return 1;  // a locale's name: no rank of its own
  if (suffix[0] >= '2' && suffix[0] <= '9') return suffix[0] - '0';
  if (suffix[0] >= 'a' && suffix[0] <= 'z') return 10 + (suffix[0] - 'a');
  return 0;
}

bool FindClientArchives(const std::string& data, const std::string& locale,
                        std::vector<std::string>* archives, std::string* why) {
  std::vector<std::string> locales;
  for (const std::string& name : Entries(data))
    if (IsLocaleName(name) && IsFolder(data + "/" + name)) locales.push_back(name);
  std::string chosen;
  if (!locale.empty()) {
    for (const std::string& name : locales)
      if (::strcasecmp(name.c_str(), locale.c_str()) == 0) chosen = name;
    if (chosen.empty()) {
      *why = "there is no locale folder " + locale + " in " + data;
      return false;
    }
  } else if (locales.size() == 1) {
    chosen = locales[0];
  } else if (locales.size() > 1) {
    std::string names;
    for (const std::string& name : locales) names += (names.empty() ? "" : ", ") + name;
    *why = data + " holds the locale folders " + names + ": --client-locale=NAME picks one";
    return false;
  }
  struct Found {
    std::string path;
    int rank, folder, expansion;  // folder: 0 Data, 1 the locale's
    std::string name;
  };
  std::vector<Found> found;
  const auto gather = [&](const std::string& folder, int which) {
    for (const std::string& name : Entries(folder)) {
      const int rank = ArchiveRank(name);
      const std::string path = folder + "/" + name;
      if (rank >= 0 && !IsFolder(path))
        found.push_back({path, rank, which, Expansion(Lower(name)), Lower(name)});
    }
  };
  gather(data, 0);
  if (!chosen.empty()) gather(data + "/" + chosen, 1);
  if (found.empty()) {
    *why = data + " holds no archive (.MPQ)";
    return false;
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.rank == 0 && a.folder != b.folder) return a.folder < b.folder;
    if (a.rank == 0 && a.expansion != b.expansion) return a.expansion < b.expansion;
    if (a.folder != b.folder) return a.folder < b.folder;
    return a.name < b.name;
  });
  archives->clear();
  for (const Found& archive : found) archives->push_back(archive.path);
  return true;
}

struct ArchiveClientFiles::Archive {
  std::string path;
  HANDLE handle = nullptr;
};

namespace {

// StormLib reads one archive handle from one thread at a time: every call
// into it is made under this lock.
Mutex& StormLock() {
  static Mutex mutex;
  return mutex;
}

// One file of an archive, read as it is asked for.
class ArchiveSource : public TableSource {
 public:
  ArchiveSource(HANDLE file, std::size_t size) : file_(file), size_(size) {}
  ~ArchiveSource() override {
    MutexLock lock(StormLock());
    SFileCloseFile(file_);
  }
  ArchiveSource(const ArchiveSource&) = delete;
  ArchiveSource& operator=(const ArchiveSource&) = delete;
  std::size_t Size() const override { return size_; }
  int Error() const override { return error_; }
  std::size_t Read(std::uint8_t* out, std::size_t n) override {
    MutexLock lock(StormLock());
    std::size_t done = 0;
    while (done < n) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - done, 1 << 20));
      DWORD got = 0;
      const bool ok = SFileReadFile(file_, out + done, want, &got, nullptr);
      done += got;
      if (!ok || got == 0) {
        // The end of the file is no error; a damaged sector is.
        if (GetLastError() != ERROR_HANDLE_EOF || done < size_) error_ = EBADMSG;
        break;
      }
    }
    return done;
  }

 private:
  HANDLE file_;
  std::size_t size_;
  int error_ = 0;
};

}  // namespace

ArchiveClientFiles::ArchiveClientFiles() = default;

ArchiveClientFiles::~ArchiveClientFiles() {
  MutexLock lock(StormLock());
  for (const std::unique_ptr<Archive>& archive : archives_) SFileCloseArchive(archive->handle);
}

bool ArchiveClientFiles::OpenAll(const std::vector<std::string>& archives, std::string* why) {
  MutexLock lock(StormLock());
  for (const std::string& path : archives) {
    auto archive = std::make_unique<Archive>();
    archive->path = path;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      *why = "the archive " + path + " cannot be opened: " + std::strerror(errno);
      return false;
    }
    if (!SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY, &archive->handle)) {
      *why = "the archive " + path + " cannot be opened: " + StormError();
      return false;
    }
    archives_.push_back(std::move(archive));
  }
  return true;
}

std::vector<std::string> ArchiveClientFiles::Paths() const {
  std::vector<std::string> paths;
  for (const std::unique_ptr<Archive>& archive : archives_) paths.push_back(archive->path);
  return paths;
}

std::string ArchiveClientFiles::ArchivedName(const char* catalogue_path) {
  std::string name = catalogue_path;
  const std::size_t slash = name.find_first_of("\\/");
  return "DBFilesClient\\" + (slash == std::string::npos ? name : name.substr(slash + 1));
}

ArchiveClientFiles::Archive* ArchiveClientFiles::Holder(const std::string& archived_name) {
  for (auto archive = archives_.rbegin(); archive != archives_.rend(); ++archive)
    if (SFileHasFile((*archive)->handle, archived_name.c_str())) return archive->get();
  return nullptr;
}

bool ArchiveClientFiles::Open(const char* path, std::unique_ptr<TableSource>* source,
                              Fault* fault) {
  const std::string name = ArchivedName(path);
  MutexLock lock(StormLock());
  Archive* archive = Holder(name);
  if (!archive) {
    *fault = {FaultKind::kMissing, std::string(path) + " not exist", path};
    return false;
  }
  HANDLE file = nullptr;
  DWORD high = 0;
  if (!SFileOpenFileEx(archive->handle, name.c_str(), SFILE_OPEN_FROM_MPQ, &file)) {
    *fault = {FaultKind::kUnreadable,
              std::string(path) + " cannot be read from " + archive->path + ": " + StormError(),
              path};
    return false;
  }
  const DWORD low = SFileGetFileSize(file, &high);
  if (low == SFILE_INVALID_SIZE || high != 0) {
    SFileCloseFile(file);
    *fault = {FaultKind::kUnreadable,
              std::string(path) + " cannot be read from " + archive->path + ": no size", path};
    return false;
  }
  *source = std::make_unique<ArchiveSource>(file, low);
  return true;
}

std::string ArchiveClientFiles::SourceOf(const char* path) {
  MutexLock lock(StormLock());
  const Archive* archive = Holder(ArchivedName(path));
  return archive ? archive->path : "";
}

std::uint64_t ArchiveClientFiles::SizeOf(const char* path) {
  const std::string name = ArchivedName(path);
  MutexLock lock(StormLock());
  Archive* archive = Holder(name);
  HANDLE file = nullptr;
  if (!archive || !SFileOpenFileEx(archive->handle, name.c_str(), SFILE_OPEN_FROM_MPQ, &file))
    return 0;
  DWORD high = 0;
  const DWORD low = SFileGetFileSize(file, &high);
  SFileCloseFile(file);
  return low == SFILE_INVALID_SIZE ? 0 : (std::uint64_t{high} << 32) | low;
}

bool WriteArchive(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& files, std::string* why) {
  MutexLock lock(StormLock());
  // Room in the hash table for every file, the listfile and the mark.
  DWORD room = 16;
  while (room < files.size() + 2) room *= 2;
  HANDLE archive = nullptr;
  if (!SFileCreateArchive(path.c_str(), MPQ_CREATE_LISTFILE | MPQ_CREATE_ARCHIVE_V1, room,
                          &archive)) {
    *why = path + " cannot be written: " + StormError();
    return false;
  }
  const auto add = [&](const std::string& file, const std::string& name) {
    if (SFileAddFileEx(archive, file.c_str(), name.c_str(),
                       MPQ_FILE_COMPRESS | MPQ_FILE_REPLACEEXISTING, MPQ_COMPRESSION_ZLIB,
                       MPQ_COMPRESSION_NEXT_SAME))
      return true;
    *why = name + " cannot be put into " + path + ": " + StormError();
    return false;
  };
  bool ok = true;
  for (const auto& [file, name] : files) ok = ok && add(file, name);
  if (ok) {
    static constexpr char kMarkText[] = "written by vesk-dbc2sql\n";
    HANDLE mark = nullptr;
    ok = SFileCreateFile(archive, kArchiveMark, 0, sizeof kMarkText - 1, 0,
                         MPQ_FILE_REPLACEEXISTING, &mark) &&
         SFileWriteFile(mark, kMarkText, sizeof kMarkText - 1, 0) && SFileFinishFile(mark);
    if (!ok) *why = std::string(kArchiveMark) + " cannot be put into " + path + ": " + StormError();
  }
  if (!SFileCloseArchive(archive) && ok) {
    *why = path + " cannot be written: " + StormError();
    ok = false;
  }
  return ok;
}

bool IsOwnArchive(const std::string& path) {
  MutexLock lock(StormLock());
  HANDLE archive = nullptr;
  if (!SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY, &archive)) return false;
  const bool own = SFileHasFile(archive, kArchiveMark);
  SFileCloseArchive(archive);
  return own;
}
