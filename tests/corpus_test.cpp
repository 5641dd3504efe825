// Replays the fuzzer's checked-in corpus: seeds and every input that ever
// made the reader or the export fail.

#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/harness.h"
#include "support/test_support.h"

namespace {

TEST(FuzzCorpus, EveryInputLoadsOrIsRefusedCleanly) {
  FuzzHarness harness;
  // (Built by path, not by +: GCC 12 warns wrongly of a string + a literal here.)
  const std::string corpus =
      (std::filesystem::path(VESK_SOURCE_DIR) / "tests/fuzz/corpus").string();
  int inputs = 0, seeds_loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string bytes = ReadFile(entry.path().string());
    bool loaded = false;
    CaptureStdout([&] {
      loaded = harness.RunOne(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    });
    ++inputs;
    if (entry.path().filename().string().rfind("seed-", 0) == 0) {
      EXPECT_TRUE(loaded) << entry.path();
      seeds_loaded += loaded;
    }
  }
  EXPECT_GE(inputs, 8);
  EXPECT_EQ(seeds_loaded, 8);
}

}  // namespace
