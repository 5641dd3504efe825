#include "app/modes.h"

#include "dbc/dbcfile.h"

namespace {

using Start = ModeRow::Start;

// --changed-only is --write-dbc's and --patch-archive's alone, --diff-sql
// --verify's.
constexpr char kChangedOnly[] = "--changed-only goes with --write-dbc or --patch-archive";
constexpr char kDiffSql[] = "--diff-sql goes with --verify";
constexpr bool DiffSql(const Options& o) { return o.diff_sql.has_value(); }

constexpr ModeExclusion kListExcludes[] = {
    {[](const Options& o) { return o.report.has_value(); },
     "--list prints the catalogue; it has no run for --report to report"},
    {[](const Options& o) { return o.changed_only; }, kChangedOnly},
    {DiffSql, kDiffSql},
};
constexpr ModeExclusion kCheckExcludes[] = {
    {[](const Options& o) { return o.changed_only; }, kChangedOnly},
    {DiffSql, kDiffSql},
};
constexpr ModeExclusion kWriteDbcExcludes[] = {
    {[](const Options& o) { return o.file.has_value() || o.verify; },
     "--write-dbc writes client files from a server's tables: not with -f or --verify"},
    {DiffSql, kDiffSql},
};
constexpr ModeExclusion kPatchArchiveExcludes[] = {
    {[](const Options& o) { return o.file.has_value() || o.verify || o.write_dbc.has_value(); },
     "--patch-archive writes an archive from a server's tables: not with -f, --verify or "
     "--write-dbc"},
    {DiffSql, kDiffSql},
};
constexpr ModeExclusion kVerifyExcludes[] = {
    {[](const Options& o) { return o.file.has_value(); },
     "--verify compares a server's tables; a script (-f) has none to compare"},
    {[](const Options& o) { return o.changed_only; }, kChangedOnly},
};
constexpr ModeExclusion kExportExcludes[] = {
    {[](const Options& o) { return o.file && o.atomic; },
     "--atomic swaps server tables; a script (-f) has none to swap"},
    {[](const Options& o) { return o.changed_only; }, kChangedOnly},
    {[](const Options& o) { return o.keep_edited && o.replace_edited; },
     "--keep-edited keeps the tables edited on the server, which --replace-edited replaces: "
     "not both"},
    {DiffSql, kDiffSql},
};

using Ending = ModeWords::Ending;

// How each mode's run is said.
constexpr ModeWords kList = {"list"};
constexpr ModeWords kCheck = {.name = "check", .table_lines = true, .ending = Ending::kCheck};
constexpr ModeWords kWriteDbc = {.name = "write-dbc",
                                 .table_lines = true,
                                 .failed_lines_on_stderr = true,
                                 .ending = Ending::kCount,
                                 .none = "no client file written",
                                 .count = "tables written",
                                 .done = "written",
                                 .skipped = "unchanged (not written)",
                                 .counted = TableStatus::kWritten,
                                 .count_one = "tables written",
                                 .failed = "not written"};
// Said as --write-dbc's run, under its own name.
constexpr ModeWords kPatchArchive = [] {
  ModeWords words = kWriteDbc;
  words.name = "patch-archive";
  return words;
}();
constexpr ModeWords kVerify = {.name = "verify",
                               .table_lines = true,
                               .failed_lines_on_stderr = true,
                               .ending = Ending::kCount,
                               .none = "no table compared",
                               .count = "tables differ",
                               .count_missed = true,
                               .done = "compared",
                               .counted = TableStatus::kDiffers,
                               .count_one = "tables differs",
                               .failed = "not compared"};
constexpr ModeWords kExport = {"export"};

constexpr ModeRow kModes[] = {
    {kList, "--list", [](const Options& o) { return o.list; }, Start::kBeforeOutput, false,
     ListTables, kListExcludes, nullptr},
    {kCheck, "--check", [](const Options& o) { return o.check; }, Start::kBeforeOutput, true,
     CheckTables, kCheckExcludes, nullptr},
    {kPatchArchive, "--patch-archive", [](const Options& o) { return o.patch_archive.has_value(); },
     Start::kAfterOutput, true, WritePatchArchive, kPatchArchiveExcludes, WhyNotPatchArchive},
    {kWriteDbc, "--write-dbc", [](const Options& o) { return o.write_dbc.has_value(); },
     Start::kAfterOutput, true, WriteClientFiles, kWriteDbcExcludes, WhyNotWriteFolder},
    {kVerify, "--verify", [](const Options& o) { return o.verify; }, Start::kAfterOutput, true,
     VerifyTables, kVerifyExcludes, WhyNotDiffFile},
    {kExport, nullptr, [](const Options&) { return true; }, Start::kAfterOutput, true, ExportTables,
     kExportExcludes, nullptr},
};

}  // namespace

std::span<const ModeRow> ModeTable() { return kModes; }

void SetRunLocale(DBCFile& reader, const Options& options) {
  if (options.AutoLocale())
    reader.SetAutoLocale();
  else
    reader.SetLocale(options.LocaleIndex());
}

const ModeRow& ChosenMode(const Options& options) {
  for (const ModeRow& mode : kModes)
    if (mode.chosen(options)) return mode;
  return kModes[std::size(kModes) - 1];
}
