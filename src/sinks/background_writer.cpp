#include "sinks/background_writer.h"

#include <errno.h>
#include <unistd.h>

namespace {

// Writes all of `size` bytes; the errno of the failure, or 0.
int WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? EIO : errno;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

BackgroundWriter::BackgroundWriter(int fd) : fd_(fd), thread_([this] { Run(); }) {}

BackgroundWriter::~BackgroundWriter() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    WaitIdle(lock);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundWriter::WaitIdle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return pending_ == nullptr; });
}

bool BackgroundWriter::Submit(const char* data, std::size_t size) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    WaitIdle(lock);
    if (error_) return false;
    pending_ = data;
    pending_size_ = size;
  }
  changed_.notify_all();
  return true;
}

bool BackgroundWriter::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock);
  return error_ == 0;
}

void BackgroundWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ != nullptr || stopping_; });
    if (!pending_) return;  // stopping, nothing left
    const char* data = pending_;
    const std::size_t size = pending_size_;
    const bool failed = error_ != 0;
    lock.unlock();
    const int error = failed ? 0 : WriteAll(fd_, data, size);
    lock.lock();
    if (error) error_ = error;
    pending_ = nullptr;
    changed_.notify_all();
  }
}
