// The progress bar and the table export loop that drives it.

#include "sql/progress_bar.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"
#include "sql/row_output.h"
#include "support/test_support.h"

namespace {

const std::string& kEmpty = kEmptyBar;

std::string Bar(int total) {
  return CaptureStdout([&] {
    ProgressBar bar(total);
    for (int i = 0; i < total; ++i) bar.Step();
  });
}

TEST(ProgressBar, NoRowsShowsTheEmptyBarAndALineBreak) { EXPECT_EQ(Bar(0), kEmpty + "\n"); }

TEST(ProgressBar, TenRowsJumpFiveCellsARow) {
  EXPECT_EQ(Redraw(5), "\r[*****                                             ] 10%  \r");
  std::string expected = kEmpty;
  for (int s = 5; s <= 50; s += 5) expected += Redraw(s);
  EXPECT_EQ(Bar(10), expected + "\n");
}

TEST(ProgressBar, FiftyRowsAddOneStarEach) {
  const std::string out = Bar(50);
  EXPECT_EQ(CountOf(out, "\r["), 50u);
  EXPECT_TRUE(out.ends_with("\r[**************************************************] 100%  \r\n"));
}

TEST(ProgressBar, AThousandRowsRedrawFiftyTimes) {
  const std::string out = Bar(1000);
  EXPECT_EQ(CountOf(out, "\r["), 50u);
  EXPECT_NE(out.find(Redraw(1)), std::string::npos);
  EXPECT_TRUE(out.ends_with(Redraw(50) + "\n"));
}

TEST(ProgressBar, ThreeRowsTruncateTheirShare) {
  EXPECT_EQ(Bar(3), kEmpty + Redraw(16) + Redraw(33) + Redraw(50) + "\n");
}

// A writer that keeps what it is given and refuses chosen statements.
class RecordingWriter : public DBCFile {
 public:
  bool Write(const char* text) override {
    const std::size_t index = written.size() + refused.size();
    if (index == refuse_at) {
      refused.push_back(text);
      return false;
    }
    written.push_back(text);
    return true;
  }
  std::vector<std::string> written, refused;
  std::size_t refuse_at = static_cast<std::size_t>(-1);
  // From this row on, SendRows() takes nothing and does not stop.
  std::uint32_t stall_at = static_cast<std::uint32_t>(-1);
  unsigned sends = 0;

  RecordingWriter() { SetRowOutput(&rows_); }

 private:
  // One statement per row, as the base sends them, but for the stall.
  struct Rows : RowOutput {
    explicit Rows(RecordingWriter& writer) : w(writer) {}
    void BeginRows(const LoadedTable&, StatementBuilder&, bool) override {}
    RowsSent SendRows(std::uint32_t first) override {
      ++w.sends;
      if (first >= w.stall_at) return {};
      if (w.Write(w.BuildInsert(first))) return {.applied = 1};
      return {.stopped = true};
    }
    RecordingWriter& w;
  } rows_{*this};
};

class DumpTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DbcWriter b(4);
    for (std::uint32_t i = 1; i <= 10; ++i) b.Record({i, 0, 0, 0});
    WriteClientFile(dir.path(), "SpellCastTimes", b.Bytes());
  }
  std::string LoadAndDump() {
    std::string out;
    InDirectory(dir.path(), [&] {
      out = CaptureStdout([&] {
        writer.Load(&CatalogueEntry("vesk_spell_cast_time"));
        writer.DumpTable();
      });
    });
    return out;
  }
  TempDir dir;
  RecordingWriter writer;
};

TEST_F(DumpTableTest, WritesDropCreateAndEveryRowInOrder) {
  LoadAndDump();
  ASSERT_EQ(writer.written.size(), 12u);
  EXPECT_EQ(writer.written[0], "DROP TABLE IF EXISTS `vesk_spell_cast_time`;\n");
  EXPECT_EQ(writer.written[1].rfind("CREATE TABLE `vesk_spell_cast_time`(", 0), 0u);
  EXPECT_EQ(writer.written[2], "INSERT INTO `vesk_spell_cast_time` VALUES ('1', '0', '0', '0');\n");
  EXPECT_EQ(writer.written[11],
            "INSERT INTO `vesk_spell_cast_time` VALUES ('10', '0', '0', '0');\n");
  EXPECT_EQ(writer.ExportFaults(), 0u);
}

TEST_F(DumpTableTest, ARefusedInsertStopsTheRowsAndTheBar) {
  writer.refuse_at = 5;  // drop, create, rows 1-3, then row 4 fails
  const std::string out = LoadAndDump();
  EXPECT_EQ(writer.written.size(), 5u);
  ASSERT_EQ(writer.refused.size(), 1u);
  EXPECT_EQ(writer.refused[0], "INSERT INTO `vesk_spell_cast_time` VALUES ('4', '0', '0', '0');\n");
  EXPECT_TRUE(out.ends_with(Redraw(15) + "\n")) << "three rows shown";
  EXPECT_EQ(writer.ExportFaults(), 1u);
}

TEST_F(DumpTableTest, ARefusedCreationDoesNotStopTheRows) {
  writer.refuse_at = 1;
  LoadAndDump();
  EXPECT_EQ(writer.written.size(), 11u);
  EXPECT_EQ(writer.ExportFaults(), 1u);
}

TEST_F(DumpTableTest, NothingLoadedWritesNothing) {
  std::filesystem::remove(dir / "dbc/SpellCastTimes.dbc");
  const std::string out = LoadAndDump();
  EXPECT_TRUE(writer.written.empty());
  EXPECT_EQ(out, "Open DBC file: dbc\\SpellCastTimes.dbc\ndbc\\SpellCastTimes.dbc not exist\n");
}

// A writer that neither takes a row nor stops would be asked for the same
// row for ever: the table ends there, as a fault.
TEST_F(DumpTableTest, AWriterThatTakesNoRowEndsTheTable) {
  writer.stall_at = 3;
  const std::string out = LoadAndDump();
  EXPECT_EQ(writer.written.size(), 5u);
  EXPECT_EQ(writer.sends, 4u) << "asked once for the stalled row";
  EXPECT_TRUE(out.ends_with(Redraw(15) + "\n"));
  EXPECT_EQ(writer.ExportFaults(), 1u);
  EXPECT_EQ(writer.LastFault(), "the output took no row at row 3 and did not stop");
}

}  // namespace
