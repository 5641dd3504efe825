#include "dbc/content_digest.h"

#include <xxhash.h>

#include <cstdio>

namespace {
XXH3_state_t* State(void* state) { return static_cast<XXH3_state_t*>(state); }
}  // namespace

ContentDigest::ContentDigest() : state_(XXH3_createState()) { XXH3_64bits_reset(State(state_)); }

ContentDigest::~ContentDigest() { XXH3_freeState(State(state_)); }

void ContentDigest::Continue(const void* data, std::size_t length) {
  XXH3_64bits_update(State(state_), data, length);
}

std::string ContentDigest::Hex() const {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(XXH3_64bits_digest(State(state_))));
  return hex;
}
