// The merged rating table built from three level-indexed client files.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"
#include "support/test_support.h"

namespace {

// A source whose value n is the float n.
std::string Source(std::uint32_t records) {
  DbcWriter b(1);
  for (std::uint32_t n = 0; n < records; ++n) b.Record({FloatBits(static_cast<float>(n))});
  b.strings.clear();
  return b.Bytes();
}

float Cell(const DBCFile& t, std::uint32_t row, std::uint32_t column) {
  float v;
  std::memcpy(&v, t.Table().GetRecord(row) + 4 * column, 4);
  return v;
}
std::uint32_t Level(const DBCFile& t, std::uint32_t row) {
  std::uint32_t v;
  std::memcpy(&v, t.Table().GetRecord(row), 4);
  return v;
}

class RatingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteClientFile(dir.path(), "gtChanceToMeleeCrit", Source(1100));
    WriteClientFile(dir.path(), "gtChanceToSpellCrit", Source(1100));
    WriteClientFile(dir.path(), "gtCombatRatings", Source(3200));
  }
  std::string Merge(bool expected = true) {
    std::string out;
    InDirectory(dir.path(), [&] {
      out = CaptureStdout(
          [&] { EXPECT_EQ(table.LoadRatingTable(&kRatingTable, RatingSources()), expected); });
    });
    return out;
  }
  TempDir dir;
  DBCFile table;
};

TEST_F(RatingTest, OneRowPerLevelAndAColumnPerClassOrKind) {
  EXPECT_EQ(Merge(),
            "Open DBC file: dbc\\gtChanceToMeleeCrit.dbc\n"
            "Open DBC file: dbc\\gtChanceToMeleeCrit.dbc\n"
            "Open DBC file: dbc\\gtChanceToSpellCrit.dbc\n"
            "Open DBC file: dbc\\gtCombatRatings.dbc\n");
  ASSERT_TRUE(table.Table().IsLoaded());
  EXPECT_EQ(table.Table().Descriptor(), &kRatingTable);
  EXPECT_EQ(table.Table().RecordCount(), 100u);
  EXPECT_EQ(table.Table().RecordSize(), 188u);
  EXPECT_EQ(table.Table().FieldCount(), 47u);
  EXPECT_EQ(table.Table().StringBlockSize(), 0u);
  for (std::uint32_t r : {0u, 1u, 57u, 99u}) {
    EXPECT_EQ(Level(table, r), r);
    EXPECT_EQ(Cell(table, r, 1), static_cast<float>(r));          // melee class 0
    EXPECT_EQ(Cell(table, r, 11), static_cast<float>(1000 + r));  // melee class 10
    EXPECT_EQ(Cell(table, r, 12), static_cast<float>(r));         // spell class 0
    EXPECT_EQ(Cell(table, r, 22), static_cast<float>(1000 + r));  // spell class 10
    EXPECT_EQ(Cell(table, r, 23), static_cast<float>(r));         // rating kind 0
    EXPECT_EQ(Cell(table, r, 46), static_cast<float>(2300 + r));  // rating kind 23
  }
  EXPECT_EQ(table.ExportFaults(), 0u);
}

TEST_F(RatingTest, InsertTextOfTheFirstRow) {
  Merge();
  const std::string insert = table.BuildInsert(3);
  EXPECT_EQ(insert.rfind("INSERT INTO `vesk_rating` VALUES ('3', '3.000000', '103.000000', ", 0),
            0u);
  EXPECT_TRUE(insert.ends_with(", '2203.000000', '2303.000000');\n"));
}

TEST_F(RatingTest, AMissingSourceLeavesItsColumnsZero) {
  std::filesystem::remove(dir / "dbc/gtCombatRatings.dbc");
  const std::string out = Merge();
  EXPECT_TRUE(out.ends_with("dbc\\gtCombatRatings.dbc not exist\n"));
  ASSERT_TRUE(table.Table().IsLoaded());
  EXPECT_EQ(Cell(table, 5, 1), 5.0f);
  EXPECT_EQ(Cell(table, 5, 22), 1005.0f);
  for (std::uint32_t c = 23; c < 47; ++c) EXPECT_EQ(Cell(table, 5, c), 0.0f);
  EXPECT_GT(table.ExportFaults(), 0u);
}

TEST_F(RatingTest, MissingMeleeFileKeepsTheLevels) {
  std::filesystem::remove(dir / "dbc/gtChanceToMeleeCrit.dbc");
  Merge();
  for (std::uint32_t r = 0; r < 100; ++r) ASSERT_EQ(Level(table, r), r);
  EXPECT_EQ(Cell(table, 9, 1), 0.0f);
  EXPECT_EQ(Cell(table, 9, 12), 9.0f);
}

TEST_F(RatingTest, ASourceWithTooFewValuesIsRefused) {
  WriteClientFile(dir.path(), "gtChanceToSpellCrit", Source(1099));
  const std::string out = Merge();
  EXPECT_NE(
      out.find("dbc\\gtChanceToSpellCrit.dbc have too few records (1099), must be at least 1100\n"),
      std::string::npos);
  EXPECT_EQ(Cell(table, 98, 21), 0.0f);
  EXPECT_EQ(Cell(table, 98, 23), 98.0f);
  EXPECT_GT(table.ExportFaults(), 0u);
}

TEST_F(RatingTest, NoUsableSourceLeavesNoTableLoaded) {
  std::filesystem::remove(dir / "dbc/gtChanceToMeleeCrit.dbc");
  std::filesystem::remove(dir / "dbc/gtCombatRatings.dbc");
  WriteClientFile(dir.path(), "gtChanceToSpellCrit", Source(10));
  Merge(false);
  EXPECT_FALSE(table.Table().IsLoaded());
  EXPECT_EQ(table.ExportFaults(), 4u);
}

TEST_F(RatingTest, CombatRatingsBeyondTheTwentyFourthAreIgnored) {
  WriteClientFile(dir.path(), "gtCombatRatings", Source(2400));
  Merge();
  EXPECT_EQ(Cell(table, 99, 46), 2399.0f);
  EXPECT_EQ(table.ExportFaults(), 0u);
}

}  // namespace
