// Number formatting for row values, without printf: the texts are exactly
// those of printf's "%u", "%d" and "%f" (six decimals, the float widened to
// double), including "inf", "-inf", "nan" and "-nan".
#pragma once

#include <cstdint>

// Room that any of the formatters below may need.
constexpr int kMaxNumberText = 64;

// Each writes the text at `out` (not NUL-terminated) and returns its end.
char* FormatUnsigned(char* out, std::uint32_t value);
char* FormatSigned(char* out, std::int32_t value);
char* FormatFloat(char* out, float value);
