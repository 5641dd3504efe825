// The script ring on its own: rows in order across the slots' reuse, with
// or without the helper thread, and a write that fails midway.
#include "sinks/script_ring.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "dbc/loaded_table.h"
#include "dbc_writer.h"
#include "port/thread.h"
#include "sql/statement_builder.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

// A table of 40,000 rows of SpellCastTimes, and its statements' builder:
// several MiB of statements, many ring rounds.
struct ManyRows {
  static constexpr std::uint32_t kRows = 40000;
  ManyRows() {
    DbcWriter file(4);
    for (std::uint32_t n = 0; n < kRows; ++n) file.Record({n, n * 7, n * 11, n * 13});
    std::string why;
    EXPECT_TRUE(ReadBytes(table, CatalogueEntry("vesk_spell_cast_time"), file.Bytes(), &why))
        << why;
    builder = std::make_unique<StatementBuilder>(table);
    builder->Prepare();  // as the export does before its rows
  }
  LoadedTable table;
  std::unique_ptr<StatementBuilder> builder;
};

// The rows come out in order across every reuse of the ring's slots, with
// a helper thread and without one.
TEST(ScriptRing, RowsInOrderAcrossSlotReuse) {
  ManyRows rows;
  StatementBuilder& builder = *rows.builder;
  constexpr std::uint32_t kRows = ManyRows::kRows;
  std::string expected;
  for (std::uint32_t n = 0; n < kRows; ++n) expected += builder.BuildInsert(n);
  TempDir dir;
  for (const bool threads : {true, false}) {
    std::unique_ptr<RefuseThreadStarts> refuse;
    if (!threads) refuse = std::make_unique<RefuseThreadStarts>();
    const std::string path = dir / ("rows" + std::to_string(threads));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    HelperThread helper;
    {
      ScriptRing ring(fd);
      ring.BeginRows(builder, helper);
      std::uint32_t taken = 0;
      while (taken < kRows) {
        const std::uint32_t n = ring.NextRows();
        ASSERT_GT(n, 0u);
        taken += n;
      }
      EXPECT_EQ(taken, kRows);
      EXPECT_TRUE(ring.Finish());
    }
    ::close(fd);
    EXPECT_EQ(ReadFile(path), expected) << (threads ? "threads" : "no thread");
  }
}

// A reader that leaves after 100 KiB: the rows stop with the write's
// error, and nothing waits for ever.
TEST(ScriptRing, AReaderThatLeavesStopsTheRowsWithItsError) {
  ManyRows rows;
  StatementBuilder& builder = *rows.builder;
  constexpr std::uint32_t kRows = ManyRows::kRows;
  ::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread reader([&] {
    char buffer[4096];
    for (std::size_t got = 0; got < (100u << 10);) {
      const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(ends[0]);
  });
  HelperThread helper;
  std::uint32_t taken = 0;
  {
    ScriptRing ring(ends[1]);
    ring.BeginRows(builder, helper);
    for (std::uint32_t n; taken < kRows && (n = ring.NextRows()) > 0;) taken += n;
    EXPECT_LT(taken, kRows);
    EXPECT_EQ(ring.error(), EPIPE);
    EXPECT_FALSE(ring.Finish());
  }
  reader.join();
  ::close(ends[1]);
  ::signal(SIGPIPE, SIG_DFL);
}

}  // namespace
