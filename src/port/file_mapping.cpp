#include "port/file_mapping.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace {

// The mappings of client files in use, for the bus error handler. Entries
// are claimed and released by the thread that maps and unmaps; the handler
// only reads them. Every field is a lock-free atomic.
struct GuardedMapping {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> cut{false};
};
constexpr int kGuarded = 8;
GuardedMapping guarded[kGuarded];
std::uintptr_t page_size = 4096;
// The action SIGBUS had before ours, to which a fault that is not ours
// goes. Written once, before the handler is installed.
struct sigaction previous;

// Why each call here is safe in a signal handler: the atomics are
// lock-free; signal() and raise() are async-signal-safe, and a handler
// there was before is the process's own, made to run in one. mmap() is not on POSIX's list,
// but on Linux it is a bare system call that takes no lock of the C library
// and touches no state of its own; here it replaces, with MAP_FIXED, only
// pages of a mapping that this process made and keeps until the mapping's
// entry is released, so no other thread can be using the range for anything
// else.
extern "C" void OnBusError(int signal_number, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  // A fault of the process (si_code > 0) at a client file's page is ours.
  for (GuardedMapping& mapping : guarded) {
    if (info->si_code <= 0) break;  // sent by kill() or raise()
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
  // Not ours: to the handler there was before, or, where there was none,
  // the default action, which a fault raised again takes.
  if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
    previous.sa_sigaction(signal_number, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
  } else {
    ::signal(SIGBUS, SIG_DFL);
    if (info->si_code <= 0) ::raise(SIGBUS);  // a sent signal is not raised again by itself
  }
}

bool InstallHandler() {
  page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action = {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGBUS, nullptr, &previous) == 0 && ::sigaction(SIGBUS, &action, nullptr) == 0;
}

// The entry now guarding [begin, begin + size), or -1 when none is free.
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

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
  if (this != &other) {
    Release();
    map_ = std::exchange(other.map_, nullptr);
    size_ = std::exchange(other.size_, 0);
    fd_ = std::exchange(other.fd_, -1);
    guard_ = std::exchange(other.guard_, -1);
    file_size_ = other.file_size_;
    modified_ = other.modified_;
  }
  return *this;
}

FileMapping FileMapping::Map(int fd, std::size_t file_size) {
  FileMapping mapping;
  struct stat st;
  if (file_size == 0 || ::fstat(fd, &st) != 0) return mapping;
  // Its own descriptor, to tell at the end whether the file changed.
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return mapping;
  void* p = ::mmap(nullptr, file_size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, own, 0);
  if (p == MAP_FAILED) {
    ::close(own);
    return mapping;
  }
  const int guard = Guard(p, file_size);
  if (guard < 0) {
    // Without the handler a file cut short would crash the run.
    ::munmap(p, file_size);
    ::close(own);
    return mapping;
  }
  mapping.map_ = p;
  mapping.size_ = file_size;
  mapping.fd_ = own;
  mapping.guard_ = guard;
  mapping.file_size_ = st.st_size;
  mapping.modified_ = st.st_mtim;
  return mapping;
}

bool FileMapping::Changed() const {
  if (!map_) return false;
  if (guarded[guard_].cut.load()) return true;
  struct stat st;
  return ::fstat(fd_, &st) != 0 || st.st_size != file_size_ ||
         st.st_mtim.tv_sec != modified_.tv_sec || st.st_mtim.tv_nsec != modified_.tv_nsec;
}

void FileMapping::Release() {
  if (!map_) return;
  ::munmap(map_, size_);
  Unguard(guard_);
  ::close(fd_);
  map_ = nullptr;
  size_ = 0;
  fd_ = -1;
  guard_ = -1;
}
