#include "sql/escape.h"

#include <mysql.h>

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The client library escapes byte by byte (no multi-byte sequence of valid
// UTF-8 contains a byte it escapes), so the escape of each byte is asked of
// the library once, and runs of bytes it leaves alone are copied as they are.
struct EscapeTable {
  bool special[256] = {};
  char text[256][4] = {};
  std::uint8_t length[256] = {};

  EscapeTable() {
    for (unsigned char c : {'\0', '\n', '\r', '\\', '\'', '"', '\x1A'}) {
      const char byte = static_cast<char>(c);
      char escaped[3];  // the library writes at most 2 * 1 + 1 bytes
      length[c] = static_cast<std::uint8_t>(mysql_escape_string(escaped, &byte, 1));
      std::memcpy(text[c], escaped, length[c]);
      special[c] = true;
    }
  }
};

// Index of the first byte at or after `from` that needs escaping, or length.
std::size_t NextSpecial(const char* s, std::size_t from, std::size_t length,
                        const EscapeTable& escapes) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i nul = _mm_setzero_si128(), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'),
                bs = _mm_set1_epi8('\\'), sq = _mm_set1_epi8('\''), dq = _mm_set1_epi8('"'),
                sub = _mm_set1_epi8('\x1A');
  for (; i + 16 <= length; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, lf)),
                                  _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, bs))),
                     _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, sq), _mm_cmpeq_epi8(v, dq)),
                                  _mm_cmpeq_epi8(v, sub)));
    if (const int mask = _mm_movemask_epi8(hit))
      return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#endif
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  for (; i < length; ++i)
    if (escapes.special[p[i]]) return i;
  return length;
}

}  // namespace

void AppendEscaped(TextBuffer& out, const char* s, std::size_t length) {
  static const EscapeTable escapes;  // built on first use, after library start-up
  char* const start = out.Reserve(2 * length + 1);
  char* to = start;
  std::size_t run = 0;
  for (std::size_t i = NextSpecial(s, 0, length, escapes); i < length;
       i = NextSpecial(s, i + 1, length, escapes)) {
    std::memcpy(to, s + run, i - run);
    to += i - run;
    const auto byte = static_cast<unsigned char>(s[i]);
    // The library's contract: an escape is at most two bytes.
    std::memcpy(to, escapes.text[byte], escapes.length[byte]);
    to += escapes.length[byte];
    run = i + 1;
  }
  std::memcpy(to, s + run, length - run);
  to += length - run;
  out.Commit(static_cast<std::size_t>(to - start));
}
