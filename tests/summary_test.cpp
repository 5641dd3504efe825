// The end-of-run summary: tables that failed alike are said together.
#include "app/summary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "catalogue/catalogue.h"
#include "support/test_support.h"

namespace {

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

using Failure = std::tuple<const char*, std::string, unsigned>;  // table, reason, error

TEST(Summary, TablesThatFailAlikeAreSaidTogether) {
  const std::string denied = "ERROR 1142 (42000): DROP command denied for table ";
  for (const auto& [failures, body] : std::vector<std::pair<std::vector<Failure>, std::string>>{
           // One server error, three tables: the first in full, then the others.
           {{{"vesk_spell", denied + "vesk_spell", 1142},
             {"vesk_zones", denied + "vesk_zones", 1142},
             {"vesk_lock", denied + "vesk_lock", 1142}},
            "  vesk_spell (dbc\\Spell.dbc): " + denied +
                "vesk_spell\n"
                "  2 more tables, alike: vesk_zones, vesk_lock\n"},
           // Two are said one by one.
           {{{"vesk_spell", denied + "vesk_spell", 1142},
             {"vesk_zones", denied + "vesk_zones", 1142}},
            "  vesk_spell (dbc\\Spell.dbc): " + denied +
                "vesk_spell\n"
                "  vesk_zones (dbc\\AreaTable.dbc): " +
                denied + "vesk_zones\n"},
           // One reason but for its file: one line.
           {{{"vesk_spell", "dbc\\Spell.dbc not exist", 0},
             {"vesk_zones", "dbc\\AreaTable.dbc not exist", 0},
             {"vesk_lock", "dbc\\Lock.dbc not exist", 0}},
            "  3 tables, client file not exist: vesk_spell, vesk_zones, vesk_lock\n"},
       }) {
    // One more table, exported in full.
    RunSummary summary(static_cast<int>(failures.size()) + 1);
    summary.TableDone(CatalogueEntry("vesk_rating"), true, "");
    for (const auto& [table, reason, code] : failures)
      summary.TableDone(CatalogueEntry(table), false, reason, 0, 10, code);
    const std::string out = Unwrapped(Stderr([&] { summary.Print(1, 0, 0, true); }));
    EXPECT_EQ(out.substr(out.find('\n', out.find('\n') + 1) + 1), body);
  }
}

TEST(Summary, AQuietRunThatSucceedsSaysNothingUnlessThereIsANote) {
  RunSummary quiet(1, true);
  quiet.TableDone(CatalogueEntry("vesk_spell"), true, "");
  EXPECT_EQ(Stderr([&] { quiet.Print(0, 5, 0, true); }), "");
  quiet.Note("dbc\\Spell.dbc has no texts in slot 2 (deDE)");
  EXPECT_EQ(Stderr([&] { quiet.Print(0, 5, 0, true); }),
            "vesk-dbc2sql: 1 of 1 tables exported in full; exit status 0\n"
            "  5 rows applied on the server in T s\n"
            "  dbc\\Spell.dbc has no texts in slot 2 (deDE)\n");
}

}  // namespace
