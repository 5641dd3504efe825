// libFuzzer target: arbitrary bytes as a client file, loaded and exported.
// Run it with ./scripts/fuzz [SECONDS].
#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/harness.h"

namespace {
FuzzHarness* harness = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mysql_library_init(0, nullptr, nullptr);
  // The converter's console output would swamp the fuzzer's own.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  harness = new FuzzHarness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  harness->RunOne(data, size);
  return 0;
}
