// Builds the bytes of a client table file (see dbc_format.h): records given
// as 32-bit words, texts added to the string block, and header words that
// can be overridden to make damaged files. The sample client generator, the
// fuzz harness and the tests write their client files with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/dbc_format.h"

class DbcWriter {
 public:
  // The string block starts with the empty string at offset 0.
  explicit DbcWriter(std::uint32_t fields) : field_count(fields), strings(1, '\0') {}

  // Appends `text` and its NUL to the string block; returns its offset.
  std::uint32_t AddString(std::string_view text);
  // Appends a record of exactly field_count words.
  DbcWriter& Record(const std::vector<std::uint32_t>& fields);
  // The whole file.
  std::string Bytes() const;
  // Writes the file; false with errno set on failure.
  bool WriteTo(const std::string& path) const;

  std::uint32_t field_count;
  std::uint32_t record_count = 0;
  std::vector<std::uint32_t> words;  // the records, back to back
  std::string strings;               // the string block
  std::string magic = kDbcMagicText;
  std::optional<std::uint32_t> record_count_override;
  std::optional<std::uint32_t> record_size_override;  // default: 4 per field
  std::optional<std::uint32_t> string_size_override;
};
