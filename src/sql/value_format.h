// Number formatting for row values, without printf: the texts are exactly
// those of printf's "%u", "%d" and "%f" (six decimals, the float widened to
// double), including "inf", "-inf", "nan" and "-nan".
#pragma once

#include <cstdint>
#include <cstring>

// Room that any of the formatters below may need; they may write scratch
// bytes past the end they return, but never past this much room.
constexpr int kMaxNumberText = 64;

// Each writes the text at `out` (not NUL-terminated) and returns its end.
// The integer formatters are inline: they run for almost every value.
inline char* FormatUnsigned(char* out, std::uint32_t value);
inline char* FormatSigned(char* out, std::int32_t value);
char* FormatFloat(char* out, float value);

namespace value_format_detail {

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits, without branches: the table adds, for each bit
// length, an offset that carries into the upper word exactly at the powers
// of ten.
inline int DigitCount(std::uint32_t v) {
  static constexpr std::uint64_t kTable[] = {
      4294967296,  8589934582,  8589934582,  8589934582,  12884901788, 12884901788, 12884901788,
      17179868184, 17179868184, 17179868184, 21474826480, 21474826480, 21474826480, 21474826480,
      25769703776, 25769703776, 25769703776, 30063771072, 30063771072, 30063771072, 34349738368,
      34349738368, 34349738368, 34349738368, 38554705664, 38554705664, 38554705664, 41949672960,
      41949672960, 41949672960, 42949672960, 42949672960};
  return static_cast<int>((v + kTable[31 - __builtin_clz(v | 1)]) >> 32);
}

// The texts of 0 to 999: up to three digits, the length in the top byte.
struct SmallNumbers {
  std::uint32_t entry[1000] = {};
  constexpr SmallNumbers() {
    for (std::uint32_t v = 0; v < 1000; ++v) {
      const std::uint32_t d0 = v / 100, d1 = v / 10 % 10, d2 = v % 10;
      if (v < 10)
        entry[v] = ('0' + d2) | 1u << 24;
      else if (v < 100)
        entry[v] = ('0' + d1) | ('0' + d2) << 8 | 2u << 24;
      else
        entry[v] = ('0' + d0) | ('0' + d1) << 8 | ('0' + d2) << 16 | 3u << 24;
    }
  }
};
inline constexpr SmallNumbers kSmallNumbers;

}  // namespace value_format_detail

// The texts ", '0'" to ", '999'": a value with its separator and quotes,
// the bulk of every row, written with one store.
struct QuotedSmallNumbers {
  static constexpr std::uint32_t kCount = 1000;
  char text[kCount][8] = {};
  std::uint8_t length[kCount] = {};
  constexpr QuotedSmallNumbers() {
    for (std::uint32_t v = 0; v < kCount; ++v) {
      const std::uint32_t entry = value_format_detail::kSmallNumbers.entry[v];
      const std::uint32_t digits = entry >> 24;
      char* t = text[v];
      *t++ = ',';
      *t++ = ' ';
      *t++ = '\'';
      for (std::uint32_t d = 0; d < digits; ++d) *t++ = static_cast<char>(entry >> (8 * d));
      *t++ = '\'';
      length[v] = static_cast<std::uint8_t>(t - text[v]);
    }
  }
};
inline constexpr QuotedSmallNumbers kQuotedSmallNumbers;

inline char* FormatUnsigned(char* out, std::uint32_t value) {
  using value_format_detail::kDigitPairs;
  if (value < 1000) {  // most client fields: one store of four bytes
    const std::uint32_t entry = value_format_detail::kSmallNumbers.entry[value];
    const char bytes[4] = {static_cast<char>(entry), static_cast<char>(entry >> 8),
                           static_cast<char>(entry >> 16), 0};
    std::memcpy(out, bytes, 4);
    return out + (entry >> 24);
  }
  // Four, then two digits at a time, from the end.
  char* const end = out + value_format_detail::DigitCount(value);
  char* p = end;
  while (value >= 10000) {
    const std::uint32_t four = value % 10000;
    value /= 10000;
    p -= 4;
    std::memcpy(p, kDigitPairs + 2 * (four / 100), 2);
    std::memcpy(p + 2, kDigitPairs + 2 * (four % 100), 2);
  }
  if (value >= 100) {
    const std::uint32_t pair = value % 100;
    value /= 100;
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * pair, 2);
  }
  if (value >= 10) {
    std::memcpy(p - 2, kDigitPairs + 2 * value, 2);
  } else {
    p[-1] = static_cast<char>('0' + value);
  }
  return end;
}

inline char* FormatSigned(char* out, std::int32_t value) {
  if (value >= 0) return FormatUnsigned(out, static_cast<std::uint32_t>(value));
  *out = '-';
  // Negate in unsigned arithmetic: INT32_MIN has no positive int32.
  return FormatUnsigned(out + 1, 0u - static_cast<std::uint32_t>(value));
}
