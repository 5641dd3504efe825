#include "dbc/client_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "dbc/host_path.h"

namespace {

// A client file, open for reading; the descriptor is closed with it.
class FileSource : public TableSource {
 public:
  FileSource(int fd, std::size_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  std::size_t Size() const override { return size_; }
  TableBuffer Map(std::size_t offset) override { return TableBuffer::MapFile(fd_, size_, offset); }
  int Error() const override { return error_; }
  std::size_t Read(std::uint8_t* out, std::size_t n) override {
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::read(fd_, out + done, n - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error_ = errno;
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

 private:
  int fd_;
  std::size_t size_;
  int error_ = 0;
};

bool CannotRead(const char* path, const char* why, Fault* fault) {
  *fault = {FaultKind::kUnreadable, std::string(path) + " cannot be read: " + why, path};
  return false;
}

}  // namespace

std::size_t MemorySource::Read(std::uint8_t* out, std::size_t n) {
  const std::size_t got = std::min(n, size_ - at_);
  if (got) std::memcpy(out, bytes_ + at_, got);
  at_ += got;
  return got;
}

namespace {

ClientFiles*& ActiveFiles() {
  static ClientFiles* files = &DiskClientFiles::Instance();
  return files;
}

}  // namespace

ClientFiles& ClientFiles::Active() { return *ActiveFiles(); }
void ClientFiles::SetActive(ClientFiles* files) { ActiveFiles() = files; }

std::uint64_t DiskClientFiles::SizeOf(const char* path) {
  struct stat st;
  const HostPath host = ResolveClientPath(path);
  return ::stat(host.path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

DiskClientFiles& DiskClientFiles::Instance() {
  static DiskClientFiles files;
  return files;
}

bool DiskClientFiles::Open(const char* path, std::unique_ptr<TableSource>* source, Fault* fault) {
  const HostPath host_path = ResolveClientPath(path);
  if (!host_path.ambiguous.empty()) {
    // Taking whichever the folder lists first would be a guess.
    std::string names;
    for (const std::string& candidate : host_path.ambiguous)
      names += (names.empty() ? "" : ", ") + candidate;
    *fault = {FaultKind::kAmbiguous, std::string(path) + " is ambiguous: " + names, path};
    return false;
  }
  // Non-blocking, so that a FIFO in place of a file cannot stall the run.
  const int fd = ::open(host_path.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno != ENOENT && errno != ENOTDIR)
    return CannotRead(path, std::strerror(errno), fault);
  if (fd < 0) {
    *fault = {FaultKind::kMissing, std::string(path) + " not exist", path};
    return false;
  }
  struct stat st;
  const bool stated = ::fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    CannotRead(path,
               !stated               ? std::strerror(errno)
               : S_ISDIR(st.st_mode) ? "Is a directory"
                                     : "not a regular file",
               fault);
    ::close(fd);
    return false;
  }
  *source = std::make_unique<FileSource>(fd, static_cast<std::size_t>(st.st_size));
  return true;
}
