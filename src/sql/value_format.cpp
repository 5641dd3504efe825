#include "sql/value_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// Writes a 64-bit unsigned number.
char* FormatUnsigned64(char* out, std::uint64_t value) {
  if (value <= 0xFFFFFFFFu) return FormatUnsigned(out, static_cast<std::uint32_t>(value));
  char digits[20];
  int n = 0;
  while (value) {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  while (n) *out++ = digits[--n];
  return out;
}

// The value in millionths, rounded to nearest with ties to even, as printf
// rounds; false when it does not fit in 64 bits.
bool Millionths(float value, std::uint64_t* result) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int biased = static_cast<int>(bits >> 23 & 0xFF);
  std::uint64_t mantissa = bits & 0x7FFFFF;
  int exponent;  // |value| = mantissa * 2^exponent
  if (biased == 0) {
    exponent = -149;
  } else {
    mantissa |= 0x800000;
    exponent = biased - 150;
  }
  // |value| * 10^6 = mantissa * 5^6 * 2^(exponent + 6), exactly.
  const std::uint64_t scaled = mantissa * 15625;  // below 2^38
  const int shift = exponent + 6;
  if (shift >= 0) {
    if (shift > 25) return false;
    *result = scaled << shift;
    return true;
  }
  const int down = -shift;
  if (down > 40) {  // below half a millionth
    *result = 0;
    return true;
  }
  std::uint64_t quotient = scaled >> down;
  const std::uint64_t remainder = scaled & ((std::uint64_t{1} << down) - 1);
  const std::uint64_t half = std::uint64_t{1} << (down - 1);
  if (remainder > half || (remainder == half && (quotient & 1))) ++quotient;
  *result = quotient;
  return true;
}

}  // namespace

char* FormatFloat(char* out, float value) {
  const double wide = value;
  if (std::isnan(wide)) {
    // printf spells a NaN with its sign bit: "nan" or "-nan".
    const char* text = std::signbit(wide) ? "-nan" : "nan";
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
  }
  std::uint64_t millionths;
  if (std::isinf(wide) || !Millionths(value, &millionths))
    return std::to_chars(out, out + kMaxNumberText, wide, std::chars_format::fixed, 6).ptr;
  if (std::signbit(wide)) *out++ = '-';
  out = FormatUnsigned64(out, millionths / 1000000);
  *out++ = '.';
  const auto fraction = static_cast<std::uint32_t>(millionths % 1000000);
  using value_format_detail::kDigitPairs;
  std::memcpy(out, kDigitPairs + 2 * (fraction / 10000), 2);
  std::memcpy(out + 2, kDigitPairs + 2 * (fraction / 100 % 100), 2);
  std::memcpy(out + 4, kDigitPairs + 2 * (fraction % 100), 2);
  return out + 6;
}
