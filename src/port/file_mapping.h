// A client file mapped read-only, guarded against the file being cut short
// while it is mapped.
//
// Touching a page of a mapping past the end of its file raises SIGBUS. While
// a FileMapping lives, a handler catches that fault for the mapping's own
// addresses only: it puts zero pages in place of the rest of the mapping and
// marks it cut, so that the access is retried and reads zeros. Any other
// SIGBUS goes on to the action it had before the first mapping (its
// default one, unless the process set another). The mapping also tells whether the file
// changed since it was mapped (Changed()), so that its table can be
// reported.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

class FileMapping {
 public:
  FileMapping() = default;
  ~FileMapping() { Release(); }
  FileMapping(FileMapping&& other) noexcept { *this = static_cast<FileMapping&&>(other); }
  FileMapping& operator=(FileMapping&& other) noexcept;
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  // The open regular file `fd` of `file_size` bytes; an empty mapping when
  // it cannot be mapped or guarded (the caller reads the file instead).
  static FileMapping Map(int fd, std::size_t file_size);

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(map_); }
  std::size_t size() const { return size_; }
  // Whether the file was cut short or written since it was mapped.
  bool Changed() const;

 private:
  void Release();

  void* map_ = nullptr;
  std::size_t size_ = 0;
  int fd_ = -1;     // its own descriptor, to look at the file again
  int guard_ = -1;  // its entry in the table of guarded mappings
  off_t file_size_ = 0;
  timespec modified_ = {};
};
