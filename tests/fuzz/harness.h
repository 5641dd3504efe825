// Feeds arbitrary bytes to the converter as one client file: the first byte
// picks the catalogue entry and the locale, the rest is the file. The table
// is loaded from memory and exported into a writer that takes every
// statement. Shared by the libFuzzer target and the test that replays its
// corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FuzzHarness {
 public:
  FuzzHarness();
  // Loads and exports `data`; returns whether the table loaded.
  bool RunOne(const std::uint8_t* data, std::size_t size);
  // Number of entries the first byte chooses from.
  static constexpr int kTargets = 7;

 private:
  std::string sources_[3];  // valid rating source files
};
