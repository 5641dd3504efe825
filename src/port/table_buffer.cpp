#include "port/table_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Heap blocks of at least this size are mapped and provided whole.
constexpr std::size_t kWholeBlock = 64 << 10;

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif

}  // namespace

TableBuffer& TableBuffer::operator=(TableBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    kind_ = std::exchange(other.kind_, Kind::kNone);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    map_ = std::exchange(other.map_, nullptr);
    map_size_ = std::exchange(other.map_size_, 0);
    file_ = std::move(other.file_);
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
  if (offset > file_size) return buffer;
  buffer.file_ = FileMapping::Map(fd, file_size);
  if (!buffer.file_.data()) return buffer;
  buffer.kind_ = Kind::kFile;
  buffer.data_ = const_cast<std::uint8_t*>(buffer.file_.data()) + offset;
  buffer.size_ = file_size - offset;
  return buffer;
}

bool TableBuffer::Changed() const { return kind_ == Kind::kFile && file_.Changed(); }

void TableBuffer::Release() {
  switch (kind_) {
    case Kind::kNone: break;
    case Kind::kHeap: std::free(map_); break;
    case Kind::kAnonymous: ::munmap(map_, map_size_); break;
    case Kind::kFile: file_ = FileMapping(); break;
  }
  kind_ = Kind::kNone;
  data_ = nullptr;
  size_ = 0;
  map_ = nullptr;
  map_size_ = 0;
}

void TableBuffer::Forget(const std::uint8_t* begin, const std::uint8_t* end) const {
  if (kind_ != Kind::kFile || end <= begin) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) & ~(page - 1);
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
  // A private mapping of a file no one wrote through: its pages are the
  // file's, so dropping them loses nothing (and zero pages of a file cut
  // short come back as zeros).
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}
