// Builds the merged rating table: three level-indexed client files, each one
// float per record with 100 levels per class (or rating kind) in a row,
// become one table with a row per level and a column per class or kind.
#include <cstdio>
#include <cstring>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"
#include "port/byte_reader.h"

namespace {

constexpr std::uint32_t kLevels = 100;
constexpr std::uint32_t kColumns = 47;
constexpr std::uint32_t kRowSize = kColumns * 4;

}  // namespace

bool DBCFile::LoadRatingTable(const TableDescriptor* descriptor) {
  // Zero-filled: the columns of a source that fails to load stay 0.
  TableBuffer result = TableBuffer::Allocate(kLevels * kRowSize);
  std::uint8_t* const cells = result.get();

  // The melee file is loaded twice, and its "Open DBC file" line printed
  // twice: the console of a run is fixed text that users compare against.
  // The first load once decided whether the level column was filled; the
  // level column no longer depends on any source, so a missing melee file
  // cannot leave 100 rows with the same primary key.
  Load(&kMeleeCritSource);
  for (std::uint32_t r = 0; r < kLevels; ++r) StoreLE32(&cells[r * kRowSize], r);

  struct Source {
    const TableDescriptor* table;
    std::uint32_t classes;
    std::uint32_t first_column;
  };
  bool any_source = false;
  const Source sources[] = {
      {&kMeleeCritSource, 11, 1}, {&kSpellCritSource, 11, 12}, {&kCombatRatingsSource, 24, 23}};
  for (const Source& source : sources) {
    if (!Load(source.table)) continue;
    const std::uint32_t needed = source.classes * kLevels;
    if (RecordCount() < needed) {
      Report(Reason("%s have too few records (%u), must be at least %u", source.table->file_path,
                    RecordCount(), needed));
      continue;
    }
    for (std::uint32_t c = 0; c < source.classes; ++c)
      for (std::uint32_t r = 0; r < kLevels; ++r)
        std::memcpy(&cells[r * kRowSize + (source.first_column + c) * 4],
                    GetRecord(c * kLevels + r), 4);
    any_source = true;
  }

  Unload();
  // With no source at all (a run in the wrong folder, say) there is nothing
  // to export: replacing the server's table by 100 rows of zeros would lose
  // data, so the table is left unloaded like any missing client table.
  if (!any_source) return false;
  data_ = std::move(result);
  strings_ = reinterpret_cast<const char*>(data_.get() + kLevels * kRowSize);
  descriptor_ = descriptor;
  record_count_ = kLevels;
  field_count_ = kColumns;
  record_size_ = kRowSize;
  string_size_ = 0;
  PrepareInsert();
  return true;
}
