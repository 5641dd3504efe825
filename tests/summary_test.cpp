// The end-of-run summary: tables that failed alike are said together.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "app/modes.h"
#include "app/text_report.h"
#include "catalogue/catalogue.h"
#include "support/test_support.h"

namespace {

// The words of an export: the default mode's.
const ModeWords& kExport = ChosenMode(Options{}).words;

// What `print` writes to standard error, its time masked.
template <typename Print>
std::string Stderr(Print print) {
  std::fflush(stderr);
  std::FILE* file = std::tmpfile();
  const int saved = ::dup(2);
  ::dup2(::fileno(file), 2);
  print();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string out(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  out.resize(std::fread(out.data(), 1, out.size(), file));
  std::fclose(file);
  return MaskTime(out);
}

// table, fault (with its file when it names one)
using Failure = std::tuple<const char*, Fault>;

// The chosen tables of a report: `names` in catalogue order.
std::vector<const TableDescriptor*> Tables(const std::vector<const char*>& names) {
  std::vector<const TableDescriptor*> tables;
  for (const char* name : names) tables.push_back(&CatalogueEntry(name));
  return tables;
}

TableEntry Done(const char* table, TableStatus status, Fault fault = {}) {
  TableEntry entry{.table = &CatalogueEntry(table), .status = status, .records = 10};
  entry.fault = std::move(fault);
  return entry;
}

TEST(Summary, TablesThatFailAlikeAreSaidTogether) {
  const std::string denied = "ERROR 1142 (42000): DROP command denied for table ";
  const auto refused = [&](const char* table) {
    return Fault{FaultKind::kRefused, denied + table, "", 1142};
  };
  const auto missing = [](const char* file) {
    return Fault{FaultKind::kMissing, std::string(file) + " not exist", file};
  };
  for (const auto& [failures, body] : std::vector<std::pair<std::vector<Failure>, std::string>>{
           // One server error, three tables: the first in full, then the others.
           {{{"vesk_spell", refused("vesk_spell")},
             {"vesk_zones", refused("vesk_zones")},
             {"vesk_lock", refused("vesk_lock")}},
            "  vesk_spell (dbc\\Spell.dbc): " + denied +
                "vesk_spell\n"
                "  2 more tables, alike: vesk_zones, vesk_lock\n"},
           // Two are said one by one.
           {{{"vesk_spell", refused("vesk_spell")}, {"vesk_zones", refused("vesk_zones")}},
            "  vesk_spell (dbc\\Spell.dbc): " + denied +
                "vesk_spell\n"
                "  vesk_zones (dbc\\AreaTable.dbc): " +
                denied + "vesk_zones\n"},
           // One kind of fault, one reason but for its file: one line.
           {{{"vesk_spell", missing("dbc\\Spell.dbc")},
             {"vesk_zones", missing("dbc\\AreaTable.dbc")},
             {"vesk_lock", missing("dbc\\Lock.dbc")}},
            "  3 tables, client file not exist: vesk_spell, vesk_zones, vesk_lock\n"},
           // Alike in words but not in kind: not grouped.
           {{{"vesk_spell", missing("dbc\\Spell.dbc")},
             {"vesk_zones", missing("dbc\\AreaTable.dbc")},
             {"vesk_lock", {FaultKind::kOther, "dbc\\Lock.dbc not exist", "dbc\\Lock.dbc"}}},
            "  vesk_spell (dbc\\Spell.dbc): dbc\\Spell.dbc not exist\n"
            "  vesk_zones (dbc\\AreaTable.dbc): dbc\\AreaTable.dbc not exist\n"
            "  vesk_lock (dbc\\Lock.dbc): dbc\\Lock.dbc not exist\n"},
           // A wrong field count names the likely cause, found by its kind.
           {{{"vesk_spell",
              {FaultKind::kWrongFieldCount,
               "dbc\\Spell.dbc have wrong field Count (3), must be 234", "dbc\\Spell.dbc"}}},
            "  vesk_spell (dbc\\Spell.dbc): dbc\\Spell.dbc have wrong field Count (3), must be "
            "234 (written by another client version?)\n"},
       }) {
    // One more table, exported in full.
    std::vector<const char*> names = {"vesk_rating"};
    for (const auto& [table, fault] : failures) names.push_back(table);
    RunReport report(kExport, Tables(names), false);
    report.SetOutput("server");
    TextReport text;
    report.AddRenderer(&text);
    report.TableDone(Done("vesk_rating", TableStatus::kExported));
    for (const auto& [table, fault] : failures)
      report.TableDone(Done(table, TableStatus::kFailed, fault));
    const std::string out = Unwrapped(Stderr([&] { report.Finish(1); }));
    EXPECT_EQ(out.substr(out.find('\n', out.find('\n') + 1) + 1), body);
  }
}

TEST(Summary, AQuietRunThatSucceedsSaysNothingUnlessThereIsANote) {
  TextReport text;
  RunReport quiet(kExport, Tables({"vesk_spell"}), true);
  quiet.SetOutput("server");
  quiet.AddRenderer(&text);
  quiet.TableDone(Done("vesk_spell", TableStatus::kExported));
  EXPECT_EQ(Stderr([&] { quiet.Finish(0, 5, 0); }), "");
  RunReport noted(kExport, Tables({"vesk_spell"}), true);
  noted.SetOutput("server");
  noted.AddRenderer(&text);
  noted.TableDone(Done("vesk_spell", TableStatus::kExported));
  noted.Note("dbc\\Spell.dbc has no texts in slot 2 (deDE)");
  EXPECT_EQ(Stderr([&] { noted.Finish(0, 5, 0); }),
            "vesk-dbc2sql: 1 of 1 tables exported in full; exit status 0\n"
            "  5 rows applied on the server in T s\n"
            "  dbc\\Spell.dbc has no texts in slot 2 (deDE)\n");
}

}  // namespace
