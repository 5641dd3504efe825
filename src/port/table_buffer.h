// The one block that holds a loaded table (records, then strings): a
// zero-filled heap block, or a read-only mapping of the client file itself.
//
// A mapping costs neither a copy nor fresh memory: the table is read where
// the system keeps the file's pages. The file may still change while it is
// mapped. Bytes that were checked at load can differ when they are used, so
// readers bound every offset again (LoadedTable::StringAt()); a file cut short
// would make its missing pages fault, so those pages read as zeros instead
// and the table reports that it changed (Changed(); see FileMapping).
//
// Fresh memory is costly: a block of 64 KiB and more is provided whole when
// it is made (in huge pages where the system offers them), which is much
// cheaper than faulting its pages in one at a time as a read fills them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "port/file_mapping.h"

class TableBuffer {
 public:
  TableBuffer() = default;
  ~TableBuffer() { Release(); }
  TableBuffer(TableBuffer&& other) noexcept { *this = std::move(other); }
  TableBuffer& operator=(TableBuffer&& other) noexcept;
  TableBuffer(const TableBuffer&) = delete;
  TableBuffer& operator=(const TableBuffer&) = delete;

  // A zero-filled block; null get() when the memory cannot be had. A zero
  // size still gives a block, so that an empty table counts as loaded.
  static TableBuffer Allocate(std::size_t size);
  // Files of at least this many bytes are mapped; smaller ones are read
  // into one reused block of this size: for them a copy costs less than
  // setting up and tearing down a mapping (tearing one down interrupts the
  // other threads).
  static constexpr std::size_t kMapThreshold = 2 << 20;

  // The open regular file `fd` of `file_size` bytes, mapped read-only;
  // get() is its byte `offset`. Null get() when it cannot be mapped (a
  // file system without mappings, say): the caller reads it instead.
  static TableBuffer MapFile(int fd, std::size_t file_size, std::size_t offset);

  // The bytes. Those of a mapped file must not be written.
  std::uint8_t* get() const { return data_; }
  std::size_t size() const { return size_; }
  bool IsFileMapping() const { return kind_ == Kind::kFile; }
  // For a mapped file: whether it was cut short or written since it was
  // mapped. Always false for a heap block.
  bool Changed() const;
  void reset() { Release(); }
  // For a mapped file: gives the pages from the one holding `begin` up to
  // the one holding `end` (excluded) back to the system, to be read from
  // the file again when next touched, so that what was read once does not
  // stay in the process's memory; ranges given in turn thus cover every
  // page once. Nothing for a heap block.
  void Forget(const std::uint8_t* begin, const std::uint8_t* end) const;

 private:
  enum class Kind { kNone, kHeap, kAnonymous, kFile };

  void Release();

  Kind kind_ = Kind::kNone;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  // A heap block made by mmap() or malloc().
  void* map_ = nullptr;
  std::size_t map_size_ = 0;
  FileMapping file_;  // a mapped file
};
