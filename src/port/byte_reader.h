// Little-endian words of untrusted bytes. A client file's header is read
// through ByteReader, whose every read is checked against its window. Record
// fields are read with LoadLE32() unchecked, at offsets that the reader
// proved inside the table when it loaded it (each record holds every field
// of its descriptor, and the records lie inside the file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Decodes the 32-bit little-endian word at `p` (no alignment required).
inline std::uint32_t LoadLE32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Encodes `value` as a 32-bit little-endian word at `p`; returns 4.
template <typename Byte>
inline std::size_t StoreLE32(Byte* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<Byte>(value >> (8 * i));
  return 4;
}

// A read-only window on a byte range.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Reads the 32-bit word at byte `offset`; false if it does not fit.
  bool ReadU32(std::size_t offset, std::uint32_t* value) const {
    if (offset > size_ || size_ - offset < 4) return false;
    *value = LoadLE32(data_ + offset);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};
