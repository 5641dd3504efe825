// A digest of bytes that tells whether a client table is the one loaded
// before: XXH3-64 (fast enough to cost nothing beside a load, and not a
// guard against anyone who would forge a match), as 16 hex digits.
#pragma once

#include <cstddef>
#include <string>

class ContentDigest {
 public:
  ContentDigest();
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;
  // Adds `length` bytes to what the digest covers.
  void Continue(const void* data, std::size_t length);
  std::string Hex() const;

 private:
  void* state_;  // XXH3_state_t, kept out of this header
};
