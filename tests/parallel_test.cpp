// Tables side by side, without a server: the schedule that gives each
// table to one connection (with or without a thread for the others), and
// the held console that keeps their lines in the tables' order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "app/held_console.h"
#include "app/modes.h"
#include "app/run_report.h"
#include "app/table_export.h"
#include "catalogue/catalogue.h"
#include "dbc_writer.h"
#include "port/thread.h"
#include "support/memory_client.h"
#include "support/test_support.h"

// Tables side by side: each is exported once, by whichever connection is
// free, and without a thread for the other connection the first one takes
// them all.
TEST(ParallelExport, EveryTableOnceWithOrWithoutAThread) {
  const TableDescriptor* languages = nullptr;
  for (const TableDescriptor* table : ExportOrder())
    if (NamesTable("vesk_languages", *table)) languages = table;
  ASSERT_NE(languages, nullptr);
  DbcWriter file(18);
  for (std::uint32_t id = 1; id <= 3; ++id) {
    std::vector<std::uint32_t> record(18, 0);
    record[0] = id;
    record[1] = file.AddString("Common");
    file.Record(record);
  }
  const std::vector<const TableDescriptor*> tables(6, languages);
  for (const bool threads : {true, false}) {
    SCOPED_TRACE(threads ? "threads" : "no thread");
    MemoryClient first;
    auto other = std::make_unique<MemoryClient>();
    MemoryClient& second = *other;
    for (MemoryClient* client : {&first, &second}) {
      client->memory.files[languages->file_path] = file.Bytes();
      client->SetConsole(DBCFile::Console::kNothing);
    }
    std::vector<std::unique_ptr<DBCFile>> others;
    others.push_back(std::move(other));
    RunReport summary(ChosenMode(Options{}).words, tables, true);
    std::string ended;
    std::optional<RefuseThreadStarts> refuse;
    if (!threads) refuse.emplace();
    EXPECT_EQ(ExportInParallel(tables, first, others, summary, &ended), 6);
    EXPECT_EQ(ended, "");
    EXPECT_EQ(first.RowsWritten() + second.RowsWritten(), 6u * 3u);
    if (!threads) {
      EXPECT_EQ(second.RowsWritten(), 0u);
    }
  }
}

// The console of tables side by side: the head of the order is written at
// once, the others when their turn comes, and what a run that ends early
// still holds (a table begun, not ended) at the end.
TEST(HeldConsole, WritesInTheOrderOfTheTablesAndWhatIsHeldAtTheEnd) {
  std::fflush(stdout);
  const int saved = ::dup(1);
  std::FILE* captured = std::tmpfile();
  ASSERT_NE(captured, nullptr);
  ::dup2(::fileno(captured), 1);
  {
    HeldConsole console(3);
    HeldConsole::Writer first(console), second(console);
    second.Begin(2);
    second.Write(1, "C", 1);
    second.End();
    first.Begin(0);
    first.Write(1, "A", 1);
    second.Begin(1);
    second.Write(2, "b", 1);
    first.End();
    second.Write(1, "B", 1);
  }
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::rewind(captured);
  char text[8] = {};
  EXPECT_EQ(std::string(text, std::fread(text, 1, sizeof text, captured)), "ABC");
  std::fclose(captured);
}
