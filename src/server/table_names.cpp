#include "server/table_names.h"

#include <cctype>
#include <cstring>

bool IsStagingName(const std::string& name) {
  constexpr std::size_t kEnding = sizeof kStagingEnding - 1;
  constexpr std::size_t kTail = kEnding + 8;  // the ending, then the id
  if (name.size() <= kTail || name.compare(0, 5, "vesk_") != 0) return false;
  const std::string tail = name.substr(name.size() - kTail);
  if (tail.compare(0, kEnding, kStagingEnding) != 0 &&
      tail.compare(0, kEnding, kRetiredEnding) != 0)
    return false;
  for (std::size_t i = kEnding; i < kTail; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(tail[i]))) return false;
  return true;
}
