#include "port/helper_thread.h"

#include "port/thread.h"

HelperThread::~HelperThread() {
  if (!thread_.joinable()) return;
  Wait();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool HelperThread::StartCall(void (*call)(void*), void* job) {
  if (!thread_.joinable() && !StartThread(&thread_, [this] { Run(); }))
    return false;  // no thread to be had (a process limit, say)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    call_ = call;
    job_ = job;
  }
  changed_.notify_all();
  return true;
}

void HelperThread::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return call_ == nullptr; });
}

void HelperThread::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return call_ != nullptr || stopping_; });
    if (!call_) return;
    void (*call)(void*) = call_;
    void* job = job_;
    lock.unlock();
    call(job);
    lock.lock();
    call_ = nullptr;
    changed_.notify_all();
  }
}
