// Starting a thread, the one place where the process asks for one. Where
// none can be had (a process or memory limit), StartThread() says so and the
// caller does the work itself; a test makes every start refuse with
// RefuseThreadStarts, as a limit would.
#pragma once

#include <functional>
#include <thread>

// Starts `body` on a new thread held in *thread; false, with nothing
// started, when no thread can be had.
bool StartThread(std::thread* thread, std::function<void()> body);

// While one lives, every StartThread() refuses.
class RefuseThreadStarts {
 public:
  RefuseThreadStarts();
  ~RefuseThreadStarts();
  RefuseThreadStarts(const RefuseThreadStarts&) = delete;
  RefuseThreadStarts& operator=(const RefuseThreadStarts&) = delete;
};
