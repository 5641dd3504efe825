#include "dbc/utf8.h"

#include <cstdint>
#include <cstring>

namespace {

bool Continues(unsigned char c) { return !StartsCharacter(static_cast<char>(c)); }

// The length of the character a utf8mb3 column takes at `p`, or 0.
std::size_t CharacterAt(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && Continues(p[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF)
    return left >= 3 && Continues(p[1]) && Continues(p[2]) && (c != 0xE0 || p[1] >= 0xA0) ? 3 : 0;
  return 0;
}

}  // namespace

std::size_t CharacterCount(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) n += StartsCharacter(c);
  return n;
}

std::size_t FirstUnstorableByte(const char* text, std::size_t size) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = begin + size;
  const unsigned char* p = begin;
  while (p < end) {
    // Plain ASCII eight bytes at a time, up to the next byte that is not:
    // most client text is ASCII with a few other characters among it.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t high = word & 0x8080808080808080ull;
      if (high != 0) {
        p += __builtin_ctzll(high) / 8;  // the words are little-endian
        break;
      }
      p += 8;
    }
    while (p < end && *p < 0x80) ++p;
    // A run of other characters, one at a time.
    while (p < end && *p >= 0x80) {
      const std::size_t length = CharacterAt(p, static_cast<std::size_t>(end - p));
      if (length == 0) return static_cast<std::size_t>(p - begin);
      p += length;
    }
  }
  return size;
}

const char* UnstorableKind(const char* text, std::size_t size, std::size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const bool four = at < size && p[at] >= 0xF0 && p[at] <= 0xF4 && size - at >= 4 &&
                    Continues(p[at + 1]) && Continues(p[at + 2]) && Continues(p[at + 3]);
  return four ? "a four-byte character" : "bytes that are not UTF-8";
}

bool IsUtf8(const char* text, std::size_t size) {
  for (std::size_t at = 0;;) {
    at += FirstUnstorableByte(text + at, size - at);
    if (at == size) return true;
    if (UnstorableKind(text, size, at)[2] != 'f') return false;  // not "a four-byte ..."
    at += 4;
  }
}
