// The one heap block that holds a loaded table (records, then strings),
// zero-filled. A large block is mapped in huge pages where the system
// offers them, which is much cheaper than faulting in 4 KiB pages one at a
// time while the file is read into it.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

class TableBuffer {
 public:
  TableBuffer() = default;
  ~TableBuffer() { Release(); }
  TableBuffer(TableBuffer&& other) noexcept { *this = std::move(other); }
  TableBuffer& operator=(TableBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
  }
  TableBuffer(const TableBuffer&) = delete;
  TableBuffer& operator=(const TableBuffer&) = delete;

  // Null get() when the memory cannot be had. A zero size still gives a
  // block, so that an empty table counts as loaded.
  static TableBuffer Allocate(std::size_t size) {
    TableBuffer buffer;
    if (size >= kMapThreshold) {
      void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) return buffer;
      ::madvise(p, size, MADV_HUGEPAGE);  // a hint; fine when refused
      buffer.data_ = static_cast<std::uint8_t*>(p);
      buffer.mapped_ = true;
    } else {
      buffer.data_ = static_cast<std::uint8_t*>(std::calloc(size ? size : 1, 1));
    }
    buffer.size_ = size;
    return buffer;
  }

  std::uint8_t* get() const { return data_; }
  std::size_t size() const { return size_; }
  void reset() { Release(); }
  bool operator==(std::nullptr_t) const { return data_ == nullptr; }

 private:
  static constexpr std::size_t kMapThreshold = 1 << 20;

  void Release() {
    if (mapped_)
      ::munmap(data_, size_);
    else
      std::free(data_);
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};
