// Writes blocks of bytes to a file descriptor on a thread of its own, in the
// order they were submitted, so that the next blocks can be filled while the
// system writes the earlier ones. Every block gets a ticket; the caller reuses
// a block's memory once WaitWritten() of its ticket returned. Where no
// thread can be started, Submit() writes the block before it returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "port/mutex.h"

class BackgroundWriter {
 public:
  // At most this many blocks wait to be written at a time.
  static constexpr std::size_t kQueue = 16;

  explicit BackgroundWriter(int fd);
  ~BackgroundWriter();  // writes what was submitted, then stops
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Queues `size` bytes at `data`, which must stay untouched until
  // WaitWritten() of the returned ticket. Waits while the queue is full.
  // Returns 0 (errno in error()) when a block already failed to be written;
  // nothing more is written then.
  std::uint64_t Submit(const char* data, std::size_t size);
  // Waits until the block of `ticket` (and every one before it) is written
  // or given up; at once for ticket 0. False on a failure.
  bool WaitWritten(std::uint64_t ticket);
  // Waits until every submitted block is written; false on a failure.
  bool Drain();
  int error();
  // Starts the disk's writeback of every block once written (a file that
  // will be flushed at its end).
  void FlushBehind() {
    MutexLock lock(mutex_);
    flush_behind_ = true;
  }
  // Bytes the system took so far: short of those submitted after a failure.
  std::uint64_t taken() const { return taken_.load(std::memory_order_relaxed); }

 private:
  struct Block {
    const char* data;
    std::size_t size;
  };
  void Run();

  const int fd_;
  Mutex mutex_;
  std::condition_variable changed_;
  Block queue_[kQueue] GUARDED_BY(mutex_) = {};
  std::uint64_t submitted_ GUARDED_BY(mutex_) = 0;  // tickets handed out
  std::uint64_t written_ GUARDED_BY(mutex_) = 0;    // blocks done with, in ticket order
  bool stopping_ GUARDED_BY(mutex_) = false;
  int error_ GUARDED_BY(mutex_) = 0;
  bool flush_behind_ GUARDED_BY(mutex_) = false;
  // Updated by whichever thread writes; read by anyone.
  std::atomic<std::uint64_t> taken_{0};
  std::thread thread_;
};
