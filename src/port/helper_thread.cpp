#include "port/helper_thread.h"

#include "port/thread.h"

HelperThread::~HelperThread() {
  if (!thread_.joinable()) return;
  Wait();
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool HelperThread::StartCall(void (*call)(void*), void* job) {
  if (!thread_.joinable() && !StartThread(&thread_, [this] { Run(); }))
    return false;  // no thread to be had (a process limit, say)
  {
    MutexLock lock(mutex_);
    call_ = call;
    job_ = job;
  }
  changed_.notify_all();
  return true;
}

void HelperThread::Wait() {
  MutexLock lock(mutex_);
  mutex_.Await(changed_, [this]() REQUIRES(mutex_) { return call_ == nullptr; });
}

void HelperThread::Run() {
  MutexLock lock(mutex_);
  for (;;) {
    mutex_.Await(changed_, [this]() REQUIRES(mutex_) { return call_ != nullptr || stopping_; });
    if (!call_) return;
    void (*call)(void*) = call_;
    void* job = job_;
    mutex_.Unlock();
    call(job);
    mutex_.Lock();
    call_ = nullptr;
    changed_.notify_all();
  }
}
