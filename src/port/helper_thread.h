// A second thread for work that splits in two: while the calling thread
// does one half of a job, the helper does the other (half of a large file
// read, half of a table's rows). One job at a time; Start() hands it over,
// Wait() returns once it is done. The thread starts with the first job and
// stops with the object. Where no thread can be started, Start() refuses the
// job and the caller does all of the work itself.
#pragma once

#include <condition_variable>
#include <thread>

#include "port/mutex.h"

class HelperThread {
 public:
  HelperThread() = default;
  ~HelperThread();
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // Runs job() on the helper thread; false, with the job not run, when
  // there is no thread. The job must stay alive until Wait().
  template <typename Job>
  bool Start(Job& job) {
    return StartCall([](void* j) { (*static_cast<Job*>(j))(); }, &job);
  }
  // Waits for the job that Start() handed over (at once when there is none).
  void Wait();

 private:
  bool StartCall(void (*call)(void*), void* job);
  void Run();

  Mutex mutex_;
  std::condition_variable changed_;
  void (*call_)(void*) GUARDED_BY(mutex_) = nullptr;  // the job handed over, not yet done
  void* job_ GUARDED_BY(mutex_) = nullptr;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // the owner's
};
