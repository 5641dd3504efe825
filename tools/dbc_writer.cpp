#include "dbc_writer.h"

#include <cassert>
#include <cstdio>

#include "port/byte_reader.h"

std::uint32_t DbcWriter::AddString(std::string_view text) {
  const auto offset = static_cast<std::uint32_t>(strings.size());
  strings.append(text);
  strings.push_back('\0');
  return offset;
}

DbcWriter& DbcWriter::Record(const std::vector<std::uint32_t>& fields) {
  assert(fields.size() == field_count);
  words.insert(words.end(), fields.begin(), fields.end());
  ++record_count;
  return *this;
}

std::string DbcWriter::Bytes() const {
  std::string out = magic;
  const std::uint32_t header[4] = {
      record_count_override.value_or(record_count), field_count,
      record_size_override.value_or(field_count * 4),
      string_size_override.value_or(static_cast<std::uint32_t>(strings.size()))};
  out.reserve(magic.size() + sizeof header + 4 * words.size() + strings.size());
  char word[4];
  for (std::uint32_t value : header) out.append(word, StoreLE32(word, value));
  for (std::uint32_t value : words) out.append(word, StoreLE32(word, value));
  out += strings;
  return out;
}

bool DbcWriter::WriteTo(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const std::string bytes = Bytes();
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return (std::fclose(file) == 0) && written;
}
