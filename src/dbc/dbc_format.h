// The client table file format: a header of five 32-bit little-endian words
// (the magic "WDBC", record count, field count, record size in bytes, string
// block size in bytes), the records, then the string block of NUL-terminated
// texts addressed by byte offset. Also the names of the twelve language
// slots of a localized string. The reader, the sample client generator, the
// fuzz harness and the tests all take the format from here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port/byte_reader.h"

constexpr char kDbcMagicText[] = "WDBC";
constexpr std::uint32_t kDbcMagic = 0x43424457;  // kDbcMagicText read little-endian
static_assert(kDbcMagic == (std::uint32_t{'W'} | std::uint32_t{'D'} << 8 |
                            std::uint32_t{'B'} << 16 | std::uint32_t{'C'} << 24));
constexpr std::size_t kDbcHeaderSize = 20;

struct DbcHeader {
  std::uint32_t record_count = 0;
  std::uint32_t field_count = 0;
  std::uint32_t record_size = 0;  // bytes
  std::uint32_t string_size = 0;  // bytes
};

// Writes the header of a client file with `header`'s counts into `out`
// (kDbcHeaderSize bytes).
inline void StoreDbcHeader(std::uint8_t* out, const DbcHeader& header) {
  StoreLE32(out, kDbcMagic);
  StoreLE32(out + 4, header.record_count);
  StoreLE32(out + 8, header.field_count);
  StoreLE32(out + 12, header.record_size);
  StoreLE32(out + 16, header.string_size);
}

enum class HeaderParse {
  kOk,
  kNotDbc,     // fewer than four bytes, or another magic
  kTruncated,  // the magic, then fewer than the header's 20 bytes
};

// Parses the header from the first `size` bytes of a file.
inline HeaderParse ParseDbcHeader(const std::uint8_t* bytes, std::size_t size, DbcHeader* header) {
  const ByteReader reader(bytes, size);
  std::uint32_t magic = 0;
  if (!reader.ReadU32(0, &magic) || magic != kDbcMagic) return HeaderParse::kNotDbc;
  if (size < kDbcHeaderSize) return HeaderParse::kTruncated;
  reader.ReadU32(4, &header->record_count);
  reader.ReadU32(8, &header->field_count);
  reader.ReadU32(12, &header->record_size);
  reader.ReadU32(16, &header->string_size);
  return HeaderParse::kOk;
}

// Language slots of a localized string, by locale index.
constexpr std::uint32_t kLocaleCount = 12;
constexpr const char* kLocaleNames[kLocaleCount] = {"enGB", "enUS", "deDE", "esES", "frFR", "koKR",
                                                    "zhCN", "zhTW", "enCN", "enTW", "esMX", "ruRU"};
