#include "port/thread.h"

#include <atomic>
#include <system_error>

namespace {
std::atomic<int> refusals{0};
}  // namespace

bool StartThread(std::thread* thread, std::function<void()> body) {
  if (refusals.load() > 0) return false;
  try {
    *thread = std::thread(std::move(body));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

RefuseThreadStarts::RefuseThreadStarts() { ++refusals; }
RefuseThreadStarts::~RefuseThreadStarts() { --refusals; }
