// Writes blocks of bytes to a file descriptor on a thread of its own, so
// that the next block can be filled while the system writes the last one.
// One block is in flight at a time: Submit() waits until the block before
// is written, which frees that block's buffer for the caller to reuse.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

class BackgroundWriter {
 public:
  explicit BackgroundWriter(int fd);
  ~BackgroundWriter();  // writes what was submitted, then stops
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Hands over `size` bytes at `data`, which must stay untouched until the
  // next Submit() or Drain() returns. False (errno in error()) when a block
  // already failed to be written; nothing more is written then.
  bool Submit(const char* data, std::size_t size);
  // Waits until every submitted block is written; false on a failure.
  bool Drain();
  int error() const { return error_; }

 private:
  void Run();
  void WaitIdle(std::unique_lock<std::mutex>& lock);

  const int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* pending_ = nullptr;  // the block to write, if any
  std::size_t pending_size_ = 0;
  bool stopping_ = false;
  int error_ = 0;
  std::thread thread_;
};
