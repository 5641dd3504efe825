// The command line: seven single-letter options, each followed by its value.
#pragma once

#include <cstdint>

struct Options {
  int locale = 0;                   // -l
  const char* host = nullptr;       // -h
  int port = 0;                     // -o, 0: the client library's default
  const char* port_text = nullptr;  // -o as given
  const char* user = nullptr;       // -u
  const char* password = nullptr;   // -p
  const char* database = nullptr;   // -d
  const char* file = nullptr;       // -f
};

// Parses argv[1..argc). False on a malformed command line: an argument that
// does not begin with '-', an option without a value, or an option letter
// other than the seven. Only the second character of an option counts, and
// the argument after an option is always its value.
bool ParseOptions(int argc, const char* const* argv, Options* options);

// Decimal conversion with the rules of the C library's atoi (leading blanks,
// an optional sign, digits up to the first non-digit, 0 without digits), but
// saturating at the limits of a 32-bit int instead of wrapping.
int ParseInt(const char* text);
