#include "app/modes.h"

namespace {

using Start = ModeRow::Start;

constexpr ModeExclusion kListExcludes[] = {
    {[](const Options& o) { return o.report.has_value(); },
     "--list prints the catalogue; it has no run for --report to report"},
};
constexpr ModeExclusion kWriteDbcExcludes[] = {
    {[](const Options& o) { return o.file.has_value() || o.verify; },
     "--write-dbc writes client files from a server's tables: not with -f or --verify"},
};
constexpr ModeExclusion kVerifyExcludes[] = {
    {[](const Options& o) { return o.file.has_value(); },
     "--verify compares a server's tables; a script (-f) has none to compare"},
};
constexpr ModeExclusion kExportExcludes[] = {
    {[](const Options& o) { return o.file && o.atomic; },
     "--atomic swaps server tables; a script (-f) has none to swap"},
};

constexpr ModeRow kModes[] = {
    {"list", "--list", [](const Options& o) { return o.list; }, Start::kBeforeOutput, false,
     ListTables, kListExcludes, nullptr},
    {"check", "--check", [](const Options& o) { return o.check; }, Start::kBeforeOutput, true,
     CheckTables, {}, nullptr},
    {"write-dbc", "--write-dbc", [](const Options& o) { return o.write_dbc.has_value(); },
     Start::kAfterOutput, true, WriteClientFiles, kWriteDbcExcludes, WhyNotWriteFolder},
    {"verify", "--verify", [](const Options& o) { return o.verify; }, Start::kAfterOutput, true,
     VerifyTables, kVerifyExcludes, nullptr},
    {"export", nullptr, [](const Options&) { return true; }, Start::kAfterOutput, true,
     ExportTables, kExportExcludes, nullptr},
};

}  // namespace

std::span<const ModeRow> ModeTable() { return kModes; }

const ModeRow& ChosenMode(const Options& options) {
  for (const ModeRow& mode : kModes)
    if (mode.chosen(options)) return mode;
  return kModes[std::size(kModes) - 1];
}
