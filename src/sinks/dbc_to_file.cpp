#include "sinks/dbc_to_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// Writes all of `size` bytes; false with errno set on failure.
bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

dbcToFILE::~dbcToFILE() { Close(); }

bool dbcToFILE::Open(const char* path) {
  std::printf("Create SQL file %s: ", path);
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    std::printf("ERROR\n");
    return false;
  }
  path_ = path;
  buffer_.reset(new char[kBufferSize]);
  used_ = 0;
  failed_ = false;
  std::printf("ok\n");
  return true;
}

void dbcToFILE::Fail(const char* what, int error) {
  if (!failed_)
    std::printf("ERROR %s SQL file %s: %s\n", what, path_.c_str(),
                std::strerror(error));
  failed_ = true;
  CountFault();
}

bool dbcToFILE::Flush() {
  if (used_ == 0) return true;
  const bool ok = WriteAll(fd_, buffer_.get(), used_);
  used_ = 0;
  if (!ok) Fail("writing", errno);
  return ok;
}

bool dbcToFILE::Write(const char* text) {
  if (fd_ < 0 || failed_) return false;
  const std::size_t length = std::strlen(text);
  if (kBufferSize - used_ < length) {
    if (!Flush()) return false;
    if (length >= kBufferSize) {
      if (WriteAll(fd_, text, length)) return true;
      Fail("writing", errno);
      return false;
    }
  }
  std::memcpy(buffer_.get() + used_, text, length);
  used_ += length;
  return true;
}

void dbcToFILE::Close() {
  if (fd_ < 0) return;
  if (!failed_) Flush();
  if (::close(fd_) != 0) Fail("closing", errno);
  fd_ = -1;
  buffer_.reset();
  std::printf("Close file\n");
}
