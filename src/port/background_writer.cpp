#include "port/background_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "port/thread.h"

namespace {

// Writes all of `size` bytes, adding those the system took to *taken; the
// errno of the failure, or 0.
int WriteAll(int fd, const char* data, std::size_t size, std::atomic<std::uint64_t>* taken) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? EIO : errno;
    taken->fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

BackgroundWriter::BackgroundWriter(int fd) : fd_(fd) {
  // Without a thread (a process limit, say) Submit() writes itself.
  StartThread(&thread_, [this] { Run(); });
}

BackgroundWriter::~BackgroundWriter() {
  if (!thread_.joinable()) return;
  Drain();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::uint64_t BackgroundWriter::Submit(const char* data, std::size_t size) {
  if (!thread_.joinable()) {
    if (!error_) error_ = WriteAll(fd_, data, size, &taken_);
    written_ = ++submitted_;
    return error_ ? 0 : submitted_;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return submitted_ - written_ < kQueue; });
    if (error_) return 0;
    queue_[submitted_ % kQueue] = {data, size};
    ++submitted_;
  }
  changed_.notify_all();
  return submitted_;
}

bool BackgroundWriter::WaitWritten(std::uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this, ticket] { return written_ >= ticket; });
  return error_ == 0;
}

void BackgroundWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return written_ < submitted_ || stopping_; });
    if (written_ == submitted_) return;  // stopping, nothing left
    const Block block = queue_[written_ % kQueue];
    const bool failed = error_ != 0;
    lock.unlock();
    const std::uint64_t at = taken_.load(std::memory_order_relaxed);
    const int error = failed ? 0 : WriteAll(fd_, block.data, block.size, &taken_);
    // The disk starts on what was written while the next blocks are made,
    // so that the flush at the end has less to wait for.
    if (flush_behind_ && !error)
      ::sync_file_range(fd_, static_cast<off_t>(at), static_cast<off_t>(block.size),
                        SYNC_FILE_RANGE_WRITE);
    lock.lock();
    if (error) error_ = error;
    ++written_;
    changed_.notify_all();
  }
}
