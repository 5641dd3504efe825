#include "fuzz/harness.h"

#include <cstring>

#include "catalogue/catalogue.h"
#include "dbc_writer.h"
#include "support/memory_client.h"

namespace {

const TableDescriptor* Find(const char* table) {
  for (const TableDescriptor* t : ExportOrder())
    if (std::strcmp(t->table_name, table) == 0) return t;
  return nullptr;
}

std::string Source(std::uint32_t records) {
  DbcWriter file(1);
  file.strings.clear();
  for (std::uint32_t n = 0; n < records; ++n) file.Record({0x3F000000u + n});
  return file.Bytes();
}

}  // namespace

FuzzHarness::FuzzHarness()
    : sources_{Source(RatingSources()[0].Values()), Source(RatingSources()[1].Values()),
               Source(RatingSources()[2].Values())} {}

bool FuzzHarness::RunOne(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return false;
  // A client table, or (null) one of the rating sources through the merge.
  static const TableDescriptor* const kTargetList[kTargets] = {
      Find("vesk_spell_cast_time"),
      Find("vesk_creature_family"),  // f, s and k columns
      &kSpellTable,
      Find("vesk_itemicon"),  // skipped columns
      nullptr,
      nullptr,
      nullptr,
  };
  const int target = data[0] % kTargets;
  const int locale = data[0] / kTargets % 13;  // 12: out of range
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  MemoryClient writer;
  for (int s = 0; s < 3; ++s) writer.memory.files[RatingSources()[s].file->file_path] = sources_[s];
  writer.SetLocale(locale);
  bool loaded;
  if (const TableDescriptor* table = kTargetList[target]) {
    loaded = LoadBytes(writer, table, bytes);
  } else {
    writer.memory.files[RatingSources()[target - 4].file->file_path] = bytes;
    writer.LoadRatingTable(&kRatingTable, RatingSources());
    loaded = writer.ExportFaults() == 0;
  }
  writer.DumpTable();
  return loaded;
}
