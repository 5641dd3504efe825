// The parts of the server's plumbing that need no server: the names of the
// tables --atomic makes, and what became of a batch of rows.
#include <gtest/gtest.h>

#include "server/batch_count.h"
#include "server/table_names.h"

namespace {

TEST(TableNames, StagingAndRetiredTablesAreKnownByTheirEnding) {
  EXPECT_EQ(StagingName("vesk_spell", "0a1b2c3d"), "vesk_spell__new_0a1b2c3d");
  EXPECT_EQ(RetiredName("vesk_spell", "0a1b2c3d"), "vesk_spell__old_0a1b2c3d");
  for (const char* name : {"vesk_spell__new_0a1b2c3d", "vesk_spell__old_DEADBEEF"})
    EXPECT_TRUE(IsStagingName(name)) << name;
  for (const char* name : {"vesk_spell", "vesk_spell__new_0a1b2c3", "vesk_spell__new_0a1b2c3g",
                           "vesk_spell__mid_0a1b2c3d", "spell__new_0a1b2c3d", "__new_0a1b2c3d"})
    EXPECT_FALSE(IsStagingName(name)) << name;
}

// (statements run in full, rows, transaction, failed) -> (applied, row at fault)
TEST(BatchCount, RowsAppliedAndTheRowAtFault) {
  const struct {
    std::size_t statements, rows;
    bool transaction, failed;
    std::size_t applied, failed_row;
  } cases[] = {
      {5, 5, false, false, 5, 5},  // every row, one statement each
      {2, 5, false, true, 2, 2},   // the third statement failed: two rows kept
      {0, 5, false, true, 0, 0},   // the first failed
      {7, 5, true, false, 5, 0},   // START, five rows, COMMIT
      {3, 5, true, true, 0, 2},    // START and two rows ran: the third failed
      {0, 5, true, true, 0, 0},    // START itself failed
      {6, 5, true, true, 0, 4},    // the COMMIT failed: blamed on the last row
  };
  for (const auto& c : cases) {
    const BatchCount count = CountBatch(c.statements, c.rows, c.transaction, c.failed);
    EXPECT_EQ(count.applied, c.applied) << c.statements << " of " << c.rows;
    EXPECT_EQ(count.failed_row, c.failed_row) << c.statements << " of " << c.rows;
  }
}

}  // namespace
