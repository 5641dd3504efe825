// The program's one mutex type, annotated for clang's thread-safety
// analysis (-Wthread-safety, the thread-safety preset): a member marked
// GUARDED_BY(mutex_) may only be touched while mutex_ is held, and a
// function marked REQUIRES(mutex_) only called so. The compiler checks what
// the comments used to say. With other compilers the annotations are empty.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VESK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VESK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VESK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VESK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VESK_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) VESK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VESK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VESK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VESK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

  // Waits on `changed` until ready() holds; the mutex, held on entry and on
  // return, is released while waiting.
  template <typename Ready>
  void Await(std::condition_variable& changed, Ready ready) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    changed.wait(lock, ready);
    lock.release();
  }
  // Waits on `changed` once.
  void Await(std::condition_variable& changed) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    changed.wait(lock);
    lock.release();
  }
  // Waits on `changed` once, at most `time`.
  template <typename Duration>
  void AwaitFor(std::condition_variable& changed, Duration time) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    changed.wait_for(lock, time);
    lock.release();
  }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};
