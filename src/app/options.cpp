#include "app/options.h"

#include <climits>
#include <cstring>

int ParseInt(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::int64_t value = 0;
  const std::int64_t limit = negative ? -std::int64_t{INT_MIN} : INT_MAX;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value >= limit) {
      value = limit;
      // Keep consuming digits; the value stays saturated.
    }
  }
  return static_cast<int>(negative ? -value : value);
}

bool ParseOptions(int argc, const char* const* argv, Options* options) {
  for (int i = 1; i < argc; i += 2) {
    const char* arg = argv[i];
    if (arg[0] != '-' || i + 1 >= argc) return false;
    const char* value = argv[i + 1];
    switch (arg[1]) {
      case 'l': options->locale = ParseInt(value); break;
      case 'h': options->host = value; break;
      case 'o':
        options->port = ParseInt(value);
        options->port_text = value;
        break;
      case 'u': options->user = value; break;
      case 'p': options->password = value; break;
      case 'd': options->database = value; break;
      case 'f': options->file = value; break;
      default: return false;
    }
  }
  return true;
}
