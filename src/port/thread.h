// Starting a thread, the one place where the process asks for one, and
// the thread that code above port owns (Thread). Where
// none can be had (a process or memory limit), StartThread() says so and the
// caller does the work itself; a test makes every start refuse with
// RefuseThreadStarts, as a limit would.
#pragma once

#include <functional>
#include <thread>

// Starts `body` on a new thread held in *thread; false, with nothing
// started, when no thread can be had.
bool StartThread(std::thread* thread, std::function<void()> body);

// A thread its owner starts and joins: Join(), or its end of life.
class Thread {
 public:
  Thread() = default;
  Thread(Thread&&) noexcept = default;
  Thread& operator=(Thread&&) = delete;
  ~Thread() { Join(); }
  // Starts `body`; false, with nothing started, when no thread can be had.
  bool Start(std::function<void()> body) { return StartThread(&thread_, std::move(body)); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// While one lives, every StartThread() refuses.
class RefuseThreadStarts {
 public:
  RefuseThreadStarts();
  ~RefuseThreadStarts();
  RefuseThreadStarts(const RefuseThreadStarts&) = delete;
  RefuseThreadStarts& operator=(const RefuseThreadStarts&) = delete;
};
