#include "sql/stored_checksum.h"

#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "dbc/loaded_table.h"
#include "sql/value_format.h"

namespace {

// The float the server stores for the "%f" text of `value`. A zero is
// stored as +0, whatever its sign ("-0.000000" included).
float AsStored(float value) {
  // Whole numbers of a float's exact range read back as themselves.
  if (std::fabs(value) < 16777216.0f && value == std::trunc(value)) return value == 0 ? 0 : value;
  char text[kMaxNumberText + 1];
  *FormatFloat(text, value) = '\0';
  const float stored = static_cast<float>(std::strtod(text, nullptr));
  return stored == 0 ? 0 : stored;
}

void Crc(uLong* crc, const void* bytes, std::size_t size) {
  *crc = crc32_z(*crc, static_cast<const Bytef*>(bytes), size);
}

}  // namespace

void StoredChecksum::Add(const LoadedTable& table, std::uint32_t first, std::uint32_t count) {
  const auto& steps = table.ValueSteps();
  bool texts = false;
  for (const LoadedTable::ValueStep& step : steps)
    texts = texts || (step.type != 'u' && step.type != 'i' && step.type != 'f');
  static constexpr unsigned char kNullFlags = 0xff;
  // The numbers between two texts go to the CRC at once.
  unsigned char numbers[256];
  rows_ += count;
  for (std::uint32_t n = first; n < first + count && exact_; ++n) {
    const std::uint8_t* record = table.GetRecord(n);
    uLong crc = crc32_z(0, nullptr, 0);
    if (!texts) Crc(&crc, &kNullFlags, 1);
    std::size_t pending = 0;
    for (const LoadedTable::ValueStep& step : steps) {
      const LoadedTable::RowValue value = table.ValueOf(step, record);
      std::uint32_t word = value.word;
      if (value.kind == LoadedTable::RowValue::kText) {
        Crc(&crc, numbers, pending);
        pending = 0;
        Crc(&crc, value.text.data(), value.text.size());
        continue;
      }
      if (value.kind == LoadedTable::RowValue::kFloat) {
        float number;
        std::memcpy(&number, &word, sizeof number);
        exact_ = exact_ && std::isfinite(number);
        number = AsStored(number);
        std::memcpy(&word, &number, sizeof word);
      }
      if (pending + 4 > sizeof numbers) {
        Crc(&crc, numbers, pending);
        pending = 0;
      }
      for (int b = 0; b < 4; ++b) numbers[pending++] = static_cast<unsigned char>(word >> (8 * b));
    }
    Crc(&crc, numbers, pending);
    sum_ += static_cast<std::uint32_t>(crc);
  }
}

std::optional<std::uint32_t> StoredChecksumOf(const LoadedTable& table) {
  StoredChecksum sum;
  sum.Add(table, 0, table.RecordCount());
  return sum.Sum();
}
