// The built-in catalogue: the descriptors of every client table the tool
// converts, in the fixed order in which a run exports them, plus the merged
// rating table and its three level-indexed source files. All of it is
// constant data that lives for the whole run.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/table_descriptor.h"

// Every client table followed by the merged rating table, in export order.
std::span<const TableDescriptor* const> ExportOrder();

// The export order without its last entry: the tables read from one client
// file each.
inline std::span<const TableDescriptor* const> ClientTables() {
  return ExportOrder().first(ExportOrder().size() - 1);
}

// The catalogue paths of every client file a run reads: the client tables
// and the rating table's sources.
std::vector<const char*> ClientFilePaths();

// The catalogue paths of a table's client files: its own, or the three
// sources of the merged table.
std::vector<const char*> FilePathsOf(const TableDescriptor& table);
// The client files a table is read from ("dbc\Spell.dbc"; the three
// sources of the merged table, comma-separated).
std::string FilesOf(const TableDescriptor& table);

// Whether `name` names the table: its SQL name, or the name or stem of its
// client file (of one of the merged table's sources), in any case.
bool NamesTable(std::string_view name, const TableDescriptor& table);

// Why a run is in the wrong folder: empty when the folder of the client
// files ("dbc", in any case) is there.
std::string MissingClientFolder();

// The client's spell table.
extern const TableDescriptor kSpellTable;

// The merged rating table (last entry of the order) and its sources.
extern const TableDescriptor kRatingTable;
extern const TableDescriptor kMeleeCritSource;
extern const TableDescriptor kSpellCritSource;
extern const TableDescriptor kCombatRatingsSource;
// Whether `table` is the merged rating table, built from its sources
// instead of read from a file of its own.
inline bool IsMergedTable(const TableDescriptor& table) { return &table == &kRatingTable; }

// The merged table has a row per level: each source holds kRatingLevels
// levels per class (or rating kind) in a row (see RatingSource).
constexpr std::uint32_t kRatingLevels = 100;
// The three sources, in the order the merge reads them.
std::span<const RatingSource> RatingSources();

// Shorthands used by the catalogue's own translation units.
namespace catalogue_detail {
constexpr ColumnDescriptor U(const char* name, Key key = Key::kNone) { return {'u', name, key}; }
constexpr ColumnDescriptor I(const char* name, Key key = Key::kNone) { return {'i', name, key}; }
constexpr ColumnDescriptor F(const char* name) { return {'f', name}; }
constexpr ColumnDescriptor T(const char* name) { return {'t', name}; }
constexpr ColumnDescriptor K(const char* name) { return {'k', name}; }
constexpr ColumnDescriptor S(const char* name) { return {'s', name}; }
constexpr ColumnDescriptor X() { return {'x', ""}; }
constexpr ColumnDescriptor Indexed(char type, const char* name, const char* index) {
  return {type, name, Key::kIndex, index};
}
constexpr Key PK = Key::kPrimary;

template <std::size_t N>
constexpr TableDescriptor Table(const char* path, const char* name,
                                const ColumnDescriptor (&columns)[N]) {
  return {path, name, static_cast<std::uint32_t>(N), columns};
}
}  // namespace catalogue_detail
