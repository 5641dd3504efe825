// The system code on its own: the helper thread, the table block and the
// mapped client file, the SIGBUS guard, the interrupt's socket, the line
// wrapping and the watch's fallback, each without a whole run around it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dbc/loaded_table.h"
#include "dbc_writer.h"
#include "port/console.h"
#include "port/durable_file.h"
#include "port/helper_thread.h"
#include "port/interrupt.h"
#include "port/table_buffer.h"
#include "port/thread.h"
#include "server/server_session.h"
#include "server/statement_watch.h"
#include "sinks/script_ring.h"
#include "sql/statement_builder.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

// Lines break at blanks; a word longer than a line is cut into whole
// lines, however long it is.
TEST(Wrap, BreaksAtBlanksAndCutsLongWords) {
  EXPECT_EQ(Wrap("short", "  ", "    ", 80), "  short\n");
  EXPECT_EQ(Wrap("aaaa bbbb cccc", "", "  ", 10), "aaaa bbbb\n  cccc\n");
  EXPECT_EQ(Wrap("x " + std::string(12, 'y'), "", "  ", 6), "x\n  yyyy\n  yyyy\n  yyyy\n");
  const std::string word(1 << 20, 'k');
  const std::string lines = Wrap("the " + word + " end", "", "", 80);
  std::size_t count = 0, longest = 0, letters = 0;
  for (std::size_t at = 0; at < lines.size();) {
    const std::size_t end = lines.find('\n', at);
    longest = std::max(longest, end - at);
    letters += std::count(lines.begin() + at, lines.begin() + end, 'k');
    ++count;
    at = end + 1;
  }
  EXPECT_EQ(longest, 80u);
  EXPECT_EQ(letters, word.size());
  EXPECT_EQ(count, 1 + word.size() / 80 + 1) << "the, the word in full lines, its rest and end";
}

// The first signal shuts a registered socket down: a read blocked on it
// (rows the server has not sent yet) ends at once. Without that, the read
// below never ends and the test fails by its time limit.
TEST(InterruptDeathTest, TheFirstSignalEndsAReadBlockedOnTheSocket) {
  EXPECT_EXIT(
      {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) std::_Exit(2);
        InterruptGuard guard;
        AbortSocketOnInterrupt abort(ends[0]);
        // The read blocks until the signal comes, whenever it does.
        std::thread signaller([] { ::kill(::getpid(), SIGTERM); });
        char c;
        ssize_t n;
        while ((n = ::read(ends[0], &c, 1)) < 0 && errno == EINTR) {
        }
        signaller.join();
        std::_Exit(n == 0 && PendingInterrupt() == SIGTERM ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Where no thread can be had, nothing watches the rows in flight and they
// go as before; otherwise the watch starts with the first rows and stops
// with the run.
// The names in a folder, hidden ones too.
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A new file takes its target's place only when committed, keeps the old
// file's permissions, and leaves nothing beside it either way.
TEST(DurableFile, CommittedInPlaceDiscardedLeavesTheTarget) {
  TempDir dir;
  const std::string target = dir / "out.sql";
  WriteFile(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  {
    DurableFile file;
    int error = 0;
    ASSERT_TRUE(file.Open(target, &st, &error)) << std::strerror(error);
    ASSERT_EQ(WriteAt(file.fd(), "new, not kept", 13, 0), 0);
  }  // neither committed nor discarded: dropped with the object
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"out.sql"});

  DurableFile file;
  int error = 0;
  ASSERT_TRUE(file.Open(target, &st, &error));
  ASSERT_EQ(WriteAt(file.fd(), "new", 3, 0), 0);
  const DurableFile::Outcome out = file.Commit();
  EXPECT_TRUE(out.in_place);
  EXPECT_EQ(out.error, 0);
  EXPECT_TRUE(out.faults.empty());
  EXPECT_EQ(ReadFile(target), "new");
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"out.sql"});
}

// A fill that fails leaves no file, and the target as it was; one that
// works makes a new target.
TEST(DurableFile, WriteFileDurablyAllOrNothing) {
  TempDir dir;
  const std::string target = dir / "Spell.dbc";
  std::string why;
  bool in_place = true;
  const auto failing = [](int fd, std::string* reason) {
    WriteAt(fd, "part", 4, 0);
    *reason = "the rows cannot be read";
    return false;
  };
  EXPECT_FALSE(WriteFileDurably(target, failing, &why, &in_place));
  EXPECT_EQ(why, "the rows cannot be read");
  EXPECT_FALSE(in_place);
  EXPECT_TRUE(NamesIn(dir.path()).empty());
  const auto filling = [](int fd, std::string*) { return WriteAt(fd, "WDBC", 4, 0) == 0; };
  EXPECT_TRUE(WriteFileDurably(target, filling, &why, &in_place)) << why;
  EXPECT_TRUE(in_place);
  EXPECT_EQ(ReadFile(target), "WDBC");
  // The same bytes as a given file: nothing written, nothing left.
  WriteFile(dir / "client.dbc", "WDBC");
  bool unchanged = false;
  const auto same = [&](int fd) {
    const std::string client = ReadFile(dir / "client.dbc");
    std::string mine(client.size(), '\0');
    struct stat st;
    return ::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) == client.size() &&
           ReadAt(fd, mine.data(), mine.size(), 0) == 0 && mine == client;
  };
  EXPECT_TRUE(WriteFileDurably(dir / "copy.dbc", filling, &why, &in_place, same, &unchanged));
  EXPECT_TRUE(unchanged);
  EXPECT_FALSE(std::filesystem::exists(dir / "copy.dbc"));
  WriteFile(dir / "client.dbc", "WDBD");
  EXPECT_TRUE(WriteFileDurably(dir / "copy.dbc", filling, &why, &in_place, same, &unchanged));
  EXPECT_FALSE(unchanged);
  EXPECT_EQ(ReadFile(dir / "copy.dbc"), "WDBC");
  EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{"Spell.dbc", "client.dbc", "copy.dbc"}));
}

// What is built in memory reads back whole, past a first read's end.
TEST(DurableFile, AMemoryFileReadsBackWhatWasWritten) {
  const MemoryFile memory("test");
  ASSERT_GE(memory.fd(), 0) << std::strerror(memory.error());
  const std::string bytes(300000, 'x');
  ASSERT_EQ(WriteAt(memory.fd(), bytes.data(), bytes.size(), 0), 0);
  std::string back;
  ASSERT_TRUE(memory.Contents(&back));
  EXPECT_EQ(back, bytes);
  char beyond[4];
  EXPECT_EQ(ReadAt(memory.fd(), beyond, sizeof beyond, bytes.size() - 2), EIO);
}

TEST(StatementWatch, NoThreadWatchesNothing) {
  ServerSession session{ConnectOptions{}};
  StatementWatch refused;
  {
    RefuseThreadStarts refuse;
    const WatchedRows rows(&refused, session, "vesk_spell");
  }
  EXPECT_FALSE(refused.running());
  StatementWatch watch;
  { const WatchedRows rows(&watch, session, "vesk_spell"); }
  EXPECT_TRUE(watch.running());
  const WatchedRows unwatched(nullptr, session, "vesk_spell");
}

TEST(HelperThread, JobsWaitsAndAJobPendingAtDestruction) {
  HelperThread helper;
  helper.Wait();  // no job: returns at once
  std::atomic<std::thread::id> ran_on{};
  auto job = [&] { ran_on = std::this_thread::get_id(); };
  ASSERT_TRUE(helper.Start(job));
  helper.Wait();
  EXPECT_NE(ran_on.load(), std::this_thread::get_id()) << "on a thread of its own";
  // A job that cannot end before the helper is being destroyed: it waits
  // for a gate that another thread opens once the test leaves the scope.
  std::atomic<bool> leaving{false}, gate{false}, done{false};
  auto held = [&] {
    while (!gate) std::this_thread::yield();
    done = true;
  };
  std::thread opener([&] {
    while (!leaving) std::this_thread::yield();
    gate = true;
  });
  {
    HelperThread pending;
    EXPECT_TRUE(pending.Start(held));
    leaving = true;
  }  // destroyed with the job pending: it waits for the job
  EXPECT_TRUE(done);
  opener.join();
  // Without a thread the job is refused, and not run.
  HelperThread none;
  RefuseThreadStarts refuse;
  bool ran = false;
  auto flag = [&] { ran = true; };
  EXPECT_FALSE(none.Start(flag));
  none.Wait();
  EXPECT_FALSE(ran);
}

// std::thread itself throwing (the system refuses the thread, as under a
// process limit) is a refusal the caller handles, not a crash. The limit
// holds for a user without privileges: the child becomes nobody first.
void StartAThreadAsNobodyWithoutProcesses() {
  rlimit none;
  none.rlim_cur = none.rlim_max = 0;
  if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::setrlimit(RLIMIT_NPROC, &none) != 0)
    ::_exit(3);
  std::thread thread;
  ::_exit(StartThread(&thread, [] {}) ? 1 : 0);
}

TEST(ThreadDeathTest, AThreadTheSystemRefusesIsARefusal) {
  EXPECT_EXIT(StartAThreadAsNobodyWithoutProcesses(), ::testing::ExitedWithCode(0), "");
}

TEST(TableBuffer, EmptyBlocksRefusedMapsAndAFileCutShort) {
  const TableBuffer empty = TableBuffer::Allocate(0);
  EXPECT_NE(empty.get(), nullptr) << "an empty table is still loaded";
  EXPECT_FALSE(empty.Changed());
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  EXPECT_EQ(TableBuffer::MapFile(pipe_ends[0], 1 << 20, 0).get(), nullptr) << "not a file";
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);

  TempDir dir;
  const std::size_t size = 3 * 4096;
  WriteFile(dir / "cut.dbc", std::string(size, 'x'));
  const int fd = ::open((dir / "cut.dbc").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const TableBuffer mapped = TableBuffer::MapFile(fd, size, 20);
  ASSERT_NE(mapped.get(), nullptr);
  EXPECT_EQ(mapped.get()[0], 'x');
  EXPECT_FALSE(mapped.Changed());
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  // The pages past the new end read as zeros instead of raising SIGBUS.
  EXPECT_EQ(mapped.get()[size - 20 - 1], 0);
  EXPECT_TRUE(mapped.Changed());
  ::close(fd);

  // A file rewritten in place, same size, within the same second: only
  // the nanoseconds of its modification time tell.
  WriteFile(dir / "same.dbc", std::string(size, 'x'));
  const int same = ::open((dir / "same.dbc").c_str(), O_RDWR);
  ASSERT_GE(same, 0);
  timespec first[2] = {{1700000000, 100}, {1700000000, 100}};
  ASSERT_EQ(::futimens(same, first), 0);
  const TableBuffer kept = TableBuffer::MapFile(same, size, 20);
  ASSERT_NE(kept.get(), nullptr);
  EXPECT_FALSE(kept.Changed());
  ASSERT_EQ(::pwrite(same, "y", 1, 100), 1);
  timespec second[2] = {{1700000000, 200}, {1700000000, 200}};
  ASSERT_EQ(::futimens(same, second), 0);
  EXPECT_TRUE(kept.Changed());
  ::close(same);
}

// A SIGBUS that is not a client file's goes to the handler the process had.
TEST(FileMappingDeathTest, ASigbusNotOursGoesToTheHandlerBefore) {
  EXPECT_EXIT(
      {
        struct sigaction own = {};
        own.sa_handler = [](int) { ::_exit(42); };
        ::sigaction(SIGBUS, &own, nullptr);
        TempDir dir;
        WriteFile(dir / "f", std::string(8192, 'x'));
        const int fd = ::open((dir / "f").c_str(), O_RDONLY);
        const TableBuffer mapped = TableBuffer::MapFile(fd, 8192, 0);  // installs the guard
        ::raise(SIGBUS);
        ::_exit(mapped.get() ? 1 : 2);
      },
      ::testing::ExitedWithCode(42), "");
}

}  // namespace
