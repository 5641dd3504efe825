#include "dbc/table_buffer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

// Heap blocks of at least this size are mapped and provided whole.
constexpr std::size_t kWholeBlock = 64 << 10;

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif

// The mappings of client files in use, for the bus error handler: touching
// a page of a mapping past the end of its file (cut short after it was
// mapped) raises SIGBUS. The handler puts zero pages in place of the rest of
// that mapping and marks it cut, so the access is retried and reads zeros.
struct GuardedMapping {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> cut{false};
};
constexpr int kGuarded = 8;
GuardedMapping guarded[kGuarded];
std::uintptr_t page_size = 4096;

extern "C" void OnBusError(int, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (GuardedMapping& mapping : guarded) {
    const std::uintptr_t begin = mapping.begin.load();
    const std::uintptr_t end = mapping.end.load();
    if (begin == 0 || address < begin || address >= end) continue;
    const std::uintptr_t page = address & ~(page_size - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      mapping.cut.store(true);
      return;
    }
  }
  // Not a client file's page: the fault stays fatal.
  ::signal(SIGBUS, SIG_DFL);
}

bool InstallHandler() {
  page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action = {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGBUS, &action, nullptr) == 0;
}

// The entry now guarding [begin, end), or -1 when none is free.
int Guard(void* begin, std::size_t size) {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] { installed = InstallHandler(); });
  if (!installed) return -1;
  for (int i = 0; i < kGuarded; ++i) {
    std::uintptr_t expected = 0;
    const auto start = reinterpret_cast<std::uintptr_t>(begin);
    if (guarded[i].begin.compare_exchange_strong(expected, start)) {
      guarded[i].cut.store(false);
      guarded[i].end.store(start + ((size + page_size - 1) & ~(page_size - 1)));
      return i;
    }
  }
  return -1;
}

void Unguard(int i) {
  guarded[i].end.store(0);
  guarded[i].begin.store(0);
}

}  // namespace

TableBuffer& TableBuffer::operator=(TableBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    kind_ = std::exchange(other.kind_, Kind::kNone);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    map_ = std::exchange(other.map_, nullptr);
    map_size_ = std::exchange(other.map_size_, 0);
    fd_ = std::exchange(other.fd_, -1);
    guard_ = std::exchange(other.guard_, -1);
    file_size_ = other.file_size_;
    modified_ = other.modified_;
  }
  return *this;
}

TableBuffer TableBuffer::Allocate(std::size_t size) {
  TableBuffer buffer;
  if (size >= kWholeBlock) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return buffer;
    // Hints; fine when refused (MADV_POPULATE_WRITE needs Linux 5.14).
    ::madvise(p, size, MADV_HUGEPAGE);
    ::madvise(p, size, kPopulateWrite);
    buffer.map_ = p;
    buffer.map_size_ = size;
    buffer.kind_ = Kind::kAnonymous;
  } else {
    buffer.map_ = std::calloc(size ? size : 1, 1);
    if (!buffer.map_) return buffer;
    buffer.kind_ = Kind::kHeap;
  }
  buffer.data_ = static_cast<std::uint8_t*>(buffer.map_);
  buffer.size_ = size;
  return buffer;
}

TableBuffer TableBuffer::MapFile(int fd, std::size_t file_size, std::size_t offset) {
  TableBuffer buffer;
  struct stat st;
  if (file_size == 0 || offset > file_size || ::fstat(fd, &st) != 0) return buffer;
  // Its own descriptor, to tell at the end whether the file changed.
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return buffer;
  void* p = ::mmap(nullptr, file_size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, own, 0);
  if (p == MAP_FAILED) {
    ::close(own);
    return buffer;
  }
  buffer.guard_ = Guard(p, file_size);
  if (buffer.guard_ < 0) {
    // Without the handler a file cut short would crash the run.
    ::munmap(p, file_size);
    ::close(own);
    return buffer;
  }
  buffer.kind_ = Kind::kFile;
  buffer.map_ = p;
  buffer.map_size_ = file_size;
  buffer.fd_ = own;
  buffer.file_size_ = st.st_size;
  buffer.modified_ = st.st_mtim;
  buffer.data_ = static_cast<std::uint8_t*>(p) + offset;
  buffer.size_ = file_size - offset;
  return buffer;
}

bool TableBuffer::Changed() const {
  if (kind_ != Kind::kFile) return false;
  if (guarded[guard_].cut.load()) return true;
  struct stat st;
  return ::fstat(fd_, &st) != 0 || st.st_size != file_size_ ||
         st.st_mtim.tv_sec != modified_.tv_sec || st.st_mtim.tv_nsec != modified_.tv_nsec;
}

void TableBuffer::Release() {
  switch (kind_) {
    case Kind::kNone: break;
    case Kind::kHeap: std::free(map_); break;
    case Kind::kAnonymous: ::munmap(map_, map_size_); break;
    case Kind::kFile:
      ::munmap(map_, map_size_);
      Unguard(guard_);
      ::close(fd_);
      break;
  }
  kind_ = Kind::kNone;
  data_ = nullptr;
  size_ = 0;
  map_ = nullptr;
  map_size_ = 0;
  fd_ = -1;
  guard_ = -1;
}
