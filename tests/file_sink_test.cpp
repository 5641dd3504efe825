// The SQL file sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "port/background_writer.h"
#include "port/thread.h"
#include "sinks/dbc_to_file.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

// Caps the size of the files this process writes, from Set() until the
// limit goes out of scope: the disk is "full" there (File too large).
class FileSizeLimit {
 public:
  FileSizeLimit() {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }
  void Set(rlim_t bytes) {
    rlimit small = saved_;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }

 private:
  rlimit saved_;
};

TEST(FileSink, WritesStatementsVerbatimAndClosesOnce) {
  TempDir dir;
  const std::string path = dir / "out.sql";
  dbcToFILE sink;
  EXPECT_EQ(CaptureStdout([&] { EXPECT_TRUE(sink.Open(path.c_str())); }),
            "Create SQL file " + path + ": ok\n");
  EXPECT_TRUE(sink.Write("SET NAMES `utf8`;\n"));
  EXPECT_TRUE(sink.Write("DROP TABLE IF EXISTS `t`;\n"));
  EXPECT_EQ(CaptureStdout([&] { sink.Close(); }), "Close file\n");
  EXPECT_EQ(CaptureStdout([&] { sink.Close(); }), "") << "second close is silent";
  EXPECT_FALSE(sink.Write("more")) << "no file after Close";
  EXPECT_EQ(ReadFile(path), "SET NAMES `utf8`;\nDROP TABLE IF EXISTS `t`;\n");
  EXPECT_EQ(sink.ExportFaults(), 0u);
}

TEST(FileSink, WriteBeforeOpenFails) {
  dbcToFILE sink;
  EXPECT_FALSE(sink.Write("x"));
}

TEST(FileSink, OpeningAgainReplacesTheFile) {
  TempDir dir;
  const std::string path = dir / "out.sql";
  WriteFile(path, std::string(100000, 'z'));
  dbcToFILE sink;
  CaptureStdout([&] {
    sink.Open(path.c_str());
    sink.Write("short\n");
    sink.Close();
  });
  EXPECT_EQ(ReadFile(path), "short\n");
  EXPECT_TRUE(HiddenFiles(dir.path()).empty()) << "the old script is removed";
}

TEST(FileSink, StatementsLargerThanTheBufferArriveWhole) {
  TempDir dir;
  const std::string path = dir / "out.sql";
  const std::string small = "abc\n";
  const std::string big(3 << 20, 'q');
  dbcToFILE sink;
  CaptureStdout([&] {
    sink.Open(path.c_str());
    sink.Write(small.c_str());
    sink.Write(big.c_str());
    for (int i = 0; i < 300000; ++i) sink.Write(small.c_str());
    sink.Close();
  });
  const std::string content = ReadFile(path);
  ASSERT_EQ(content.size(), small.size() * 300001 + big.size());
  EXPECT_EQ(content.substr(0, 4), small);
  EXPECT_EQ(content.substr(4, big.size()), big);
  EXPECT_EQ(content.substr(content.size() - 4), small);
}

TEST(FileSink, AFileThatCannotBeCreated) {
  TempDir dir;
  const std::string path = dir / "no/such/folder/out.sql";
  dbcToFILE sink;
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(sink.Open(path.c_str())); }),
            "Create SQL file " + path + ": ERROR\n");
  EXPECT_FALSE(sink.Write("x"));
  EXPECT_EQ(CaptureStdout([&] { sink.Close(); }), "");
}

TEST(FileSink, AFullDiskIsReportedOnceAndRefusesFurtherStatements) {
  dbcToFILE sink;
  const std::string chunk(512 << 10, 'x');
  std::string out = CaptureStdout([&] {
    ASSERT_TRUE(sink.Open("/dev/full"));
    bool refused = false;
    for (int i = 0; i < 16 && !refused; ++i) refused = !sink.Write(chunk.c_str());
    EXPECT_TRUE(refused) << "the buffers must reach the disk within 8 MiB";
    EXPECT_FALSE(sink.Write("x"));
    sink.Close();
  });
  EXPECT_EQ(out,
            "Create SQL file /dev/full: ok\n"
            "ERROR writing SQL file /dev/full: No space left on device\n"
            "Close file\n");
  EXPECT_GT(sink.ExportFaults(), 0u);
}

TEST(FileSink, AWriteErrorLeavesAnExistingScriptAsItWas) {
  TempDir dir;
  const std::string path = dir / "out.sql";
  WriteFile(path, "old script\n");
  FileSizeLimit limit;
  dbcToFILE sink;
  const std::string out = CaptureStdout([&] {
    ASSERT_TRUE(sink.Open(path.c_str()));
    limit.Set(1 << 20);
    const std::string chunk(512 << 10, 'x');
    for (int i = 0; i < 6; ++i) sink.Write(chunk.c_str());
    EXPECT_EQ(HiddenFiles(dir.path()).size(), 1u);
    sink.Close();
  });
  EXPECT_NE(out.find("ERROR writing SQL file " + path + ": File too large\n"), std::string::npos);
  EXPECT_TRUE(ReadFile(path) == "old script\n");
  EXPECT_TRUE(HiddenFiles(dir.path()).empty());
}

TEST(FileSink, AWriteErrorWhileBothThreadsBuildRowsStopsTheTableOnce) {
  // 100,000 rows, about 5 MiB of script, into a file limited to 256 KiB.
  DbcWriter b(18);
  const auto name = b.AddString("Quest");
  for (std::uint32_t id = 1; id <= 100000; ++id) {
    std::vector<std::uint32_t> record(18, 0);
    record[0] = id;
    record[1] = name;
    b.Record(record);
  }
  TempDir dir;
  const std::string path = dir / "out.sql";
  FileSizeLimit limit;
  dbcToFILE sink;
  const std::string out = CaptureStdout([&] {
    ASSERT_TRUE(sink.Open(path.c_str()));
    ASSERT_TRUE(LoadBytes(sink, &CatalogueEntry("vesk_quest_info"), b.Bytes()));
    limit.Set(256 << 10);
    sink.DumpTable();
    sink.Close();
  });
  const std::string error = "ERROR writing SQL file " + path + ": File too large\n";
  ASSERT_NE(out.find(error), std::string::npos) << out;
  EXPECT_EQ(out.find(error, out.find(error) + 1), std::string::npos) << "reported once";
  EXPECT_LT(sink.RowsWritten(), 100000u) << "the rows stop at the failure";
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(HiddenFiles(dir.path()).empty());
}

TEST(FileSink, AnErrorAtTheFinalFlushIsReported) {
  dbcToFILE sink;
  std::string out = CaptureStdout([&] {
    sink.Open("/dev/full");
    EXPECT_TRUE(sink.Write("fits in the buffer\n"));
    sink.Close();
  });
  EXPECT_EQ(out,
            "Create SQL file /dev/full: ok\n"
            "ERROR writing SQL file /dev/full: No space left on device\n"
            "Close file\n");
  EXPECT_GT(sink.ExportFaults(), 0u);
}

// A table of 10,000 rows, built on two threads and written on a third, or
// with no thread to be had at all: the same script, rows in order.
TEST(FileSink, RowsInOrderWithOrWithoutThreads) {
  DbcWriter b(18);
  for (std::uint32_t id = 1; id <= 10000; ++id) {
    std::vector<std::uint32_t> record(18, 0);
    record[0] = id;
    b.Record(record);
  }
  TempDir dir;
  const auto script = [&](bool threads) {
    std::unique_ptr<RefuseThreadStarts> refuse;
    if (!threads) refuse = std::make_unique<RefuseThreadStarts>();
    dbcToFILE sink;
    CaptureStdout([&] {
      sink.Open((dir / "out.sql").c_str());
      LoadBytes(sink, &CatalogueEntry("vesk_quest_info"), b.Bytes());
      sink.DumpTable();
      sink.Close();
    });
    EXPECT_EQ(sink.RowsWritten(), 10000u);
    return ReadFile(dir / "out.sql");
  };
  const std::string threaded = script(true);
  EXPECT_EQ(script(false), threaded);
  std::size_t at = threaded.find("INSERT");
  for (std::uint32_t id = 1; id <= 10000 && at != std::string::npos; ++id) {
    const std::string row = "INSERT INTO `vesk_quest_info` VALUES ('" + std::to_string(id) + "'";
    ASSERT_EQ(threaded.compare(at, row.size(), row), 0) << "row " << id;
    at = threaded.find("INSERT", at + 1);
  }
  EXPECT_EQ(at, std::string::npos);
}

// The background writer: blocks written in ticket order; the first error
// stays and refuses what follows; without a thread, Submit() writes the
// block itself and keeps its error.
TEST(BackgroundWriter, WritesInTicketOrderAndKeepsTheFirstError) {
  for (bool threads : {true, false}) {
    SCOPED_TRACE(threads ? "writer thread" : "no thread");
    std::unique_ptr<RefuseThreadStarts> refuse;
    if (!threads) refuse = std::make_unique<RefuseThreadStarts>();
    TempDir dir;
    const int fd = ::open((dir / "blocks").c_str(), O_WRONLY | O_CREAT, 0644);
    std::vector<std::string> blocks;
    std::string expected;
    {
      BackgroundWriter writer(fd);
      for (int i = 0; i < 100; ++i) {
        blocks.push_back(std::string(1000 + i, static_cast<char>('a' + i % 26)));
        expected += blocks.back();
        EXPECT_EQ(writer.Submit(blocks.back().data(), blocks.back().size()),
                  static_cast<std::uint64_t>(i + 1));
      }
      EXPECT_TRUE(writer.Drain());
      EXPECT_EQ(writer.taken(), expected.size());
    }
    ::close(fd);
    EXPECT_EQ(ReadFile(dir / "blocks"), expected);

    const int full = ::open("/dev/full", O_WRONLY);
    BackgroundWriter writer(full);
    const std::uint64_t ticket = writer.Submit("x", 1);
    EXPECT_FALSE(writer.WaitWritten(ticket));
    EXPECT_EQ(writer.error(), ENOSPC);
    EXPECT_EQ(writer.Submit("y", 1), 0u) << "nothing more after an error";
    EXPECT_EQ(writer.error(), ENOSPC);
    EXPECT_EQ(writer.taken(), 0u);
    ::close(full);
  }
}

}  // namespace
