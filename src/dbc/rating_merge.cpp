// Builds the merged rating table: three level-indexed client files, each one
// float per record with 100 levels per class (or rating kind) in a row,
// become one table with a row per level and a column per class or kind.
#include <cstdio>
#include <cstring>

#include "dbc/dbcfile.h"
#include "port/byte_reader.h"

bool DBCFile::LoadRatingTable(const TableDescriptor* descriptor,
                              std::span<const RatingSource> sources) {
  if (sources.empty()) return false;
  const std::uint32_t levels = sources.front().levels;
  const std::uint32_t columns = descriptor->column_count;
  const std::uint32_t row_size = 4 * columns;
  // Zero-filled: the columns of a source that fails to load stay 0.
  TableBuffer result = TableBuffer::Allocate(levels * row_size);
  std::uint8_t* const cells = result.get();

  // The melee file is loaded twice, and its "Open DBC file" line printed
  // twice: the console of a run is fixed text that users compare against.
  // The first load once decided whether the level column was filled; the
  // level column no longer depends on any source, so a missing melee file
  // cannot leave 100 rows with the same primary key.
  Load(sources.front().file);
  for (std::uint32_t r = 0; r < levels; ++r) StoreLE32(&cells[r * row_size], r);

  bool any_source = false;
  for (const RatingSource& source : sources) {
    if (!Load(source.file)) continue;
    if (table_.RecordCount() < source.Values()) {
      Report({FaultKind::kBadHeader,
              Format("%s have too few records (%u), must be at least %u", source.file->file_path,
                     table_.RecordCount(), source.Values()),
              source.file->file_path});
      continue;
    }
    for (std::uint32_t c = 0; c < source.classes; ++c)
      for (std::uint32_t r = 0; r < levels; ++r)
        std::memcpy(&cells[r * row_size + (source.first_column + c) * 4],
                    table_.GetRecord(c * levels + r), 4);
    any_source = true;
  }

  table_.Unload();
  // With no source at all (a run in the wrong folder, say) there is nothing
  // to export: replacing the server's table by 100 rows of zeros would lose
  // data, so the table is left unloaded like any missing client table.
  if (!any_source) return false;
  table_.Adopt(descriptor, std::move(result), levels, columns);
  return true;
}
