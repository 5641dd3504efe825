#include "sql/value_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

char* FormatFloat(char* out, float value) {
  const double wide = value;
  if (std::isnan(wide)) {
    // printf spells a NaN with its sign bit, to_chars too, but keep it
    // explicit: "nan" or "-nan".
    const char* text = std::signbit(wide) ? "-nan" : "nan";
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
  }
  return std::to_chars(out, out + kMaxNumberText, wide,
                       std::chars_format::fixed, 6)
      .ptr;
}
