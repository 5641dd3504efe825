// Where the script goes: a client file refused, the old script kept by an
// interrupted or failed run, a FIFO, standard output, links, devices, sticky
// folders and mount points, and the durable replacement of a file.
#include "support/cli_fixture.h"

namespace {

// The script never overwrites a client file, whatever name leads to it.
TEST_F(CliTest, AnOutputThatIsAClientFileIsRefused) {
  MakeSampleClient(dir.path());
  const std::string spell = ReadFile(dir / "dbc/Spell.dbc");
  std::filesystem::create_symlink("dbc/Spell.dbc", dir / "link.sql");
  std::filesystem::create_hard_link(dir / "dbc/Spell.dbc", dir / "hard.sql");
  for (const std::string& target :
       {std::string("dbc/Spell.dbc"), std::string("dbc/spell.DBC"), std::string("link.sql"),
        std::string("hard.sql"), dir / "dbc/../dbc/Spell.dbc",
        std::string("dbc/gtCombatRatings.dbc")}) {
    const RunResult r = Run({"-f", target});
    EXPECT_EQ(r.out, kBanner + "\nCreate SQL file " + target + ": ERROR\n");
    EXPECT_TRUE(Unwrapped(r.err).starts_with("Cannot create SQL file " + target +
                                             ": it is the client file dbc\\"))
        << r.err;
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(ReadFile(dir / "dbc/Spell.dbc"), spell);
  EXPECT_FALSE(std::filesystem::exists(dir / "dbc/spell.DBC"));
  EXPECT_TRUE(HiddenFiles(dir / "dbc").empty());
}

// A signal stops the run after the piece of rows in flight: the old script
// stays as it was, the summary says so, and the run ends by that signal.
// Asked twice, a run that cannot stop by itself (blocked on its console)
// ends at once, still removing its temporary file.
TEST_F(CliTest, AnInterruptedRunLeavesTheOldScriptAsItWas) {
  MakeSampleClient(dir.path());
  WriteFile(dir / "out.sql", "old script\n");
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, SIGXCPU}) {
    for (bool twice : {false, true}) {
      const std::string name = std::string("SIG") + sigabbrev_np(signal_number);
      SCOPED_TRACE(name + (twice ? " twice" : " once"));
      // Held after the first rows of the first table.
      PausedRun run(dir.path(), {"-f", "out.sql"}, {"rows"});
      run.WaitHeld();
      EXPECT_EQ(HiddenFiles(dir.path()).size(), 1u) << "the script goes to a temporary file";
      run.Signal(signal_number);
      if (twice) {
        // Still held: only the second signal can end it.
        run.AwaitSignalTaken(signal_number);
        run.Signal(signal_number);
      }
      const RunResult r = run.Finish(/*release=*/!twice);
      EXPECT_EQ(r.status, 128 + signal_number);
      EXPECT_EQ(ReadFile(dir / "out.sql"), "old script\n");
      EXPECT_TRUE(HiddenFiles(dir.path()).empty());
      if (!twice) {
        EXPECT_TRUE(MaskTime(r.err).starts_with("vesk-dbc2sql: interrupted by " + name + " after "))
            << r.err;
        EXPECT_NE(r.err.find(" tables; exit status " + std::to_string(128 + signal_number) + "\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("\n  the old script out.sql is kept\n"), std::string::npos) << r.err;
      }
    }
  }
  // A signal ignored by the caller (nohup, a script's background job) stays
  // ignored.
  struct sigaction ignore = {}, before;
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGHUP, &ignore, &before);
  PausedRun run(dir.path(), {"-f", "out.sql"}, {"rows"});
  ::sigaction(SIGHUP, &before, nullptr);
  run.WaitHeld();
  run.Signal(SIGHUP);
  const RunResult ignored = run.Finish();
  EXPECT_EQ(ignored.status, 0) << ignored.err;
  EXPECT_EQ(CountOf(ReadFile(dir / "out.sql"), "CREATE TABLE"), CatalogueSize());
}

// A FIFO that no process reads yet is waited for, and the first signal
// ends the wait (and the run) with the reason.
TEST_F(CliTest, AFifoWithoutAReaderIsWaitedForUntilASignal) {
  MakeSampleClient(dir.path(), {"--records", "3"});
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  PausedRun run(dir.path(), {"-f", "fifo"}, {"fifo-wait"});
  run.WaitHeld();
  run.Signal(SIGTERM);
  run.AwaitSignalTaken(SIGTERM);
  run.Release();
  const RunResult r = run.Finish();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_NE(Unwrapped(r.err).find("Cannot create SQL file fifo: interrupted by SIGTERM while it "
                                  "waited for a process to read it\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(r.err.ends_with("exit status 143\n")) << r.err;
}

// A file size limit (ulimit -f) fails the writes instead of ending the
// process: the old script is kept and the run says why.
TEST_F(CliTest, AFileSizeLimitFailsTheRunAndKeepsTheOldScript) {
  MakeSampleClient(dir.path());
  WriteFile(dir / "out.sql", "old script\n");
  const int status = Shell("cd " + Quoted(dir.path()) + " && ulimit -f 1024 && exec " +
                           QuotedBinary() + " -f out.sql >console.txt 2>errors.txt");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(ReadFile(dir / "console.txt").find("ERROR writing SQL file out.sql: File too large\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir / "out.sql"), "old script\n");
  EXPECT_TRUE(HiddenFiles(dir.path()).empty());
  EXPECT_TRUE(ReadFile(dir / "errors.txt").starts_with("vesk-dbc2sql: 0 of " + Tables()))
      << "the script that was cut holds no table";
}

TEST_F(CliTest, TheScriptReplacesItsTargetKeepingModeAndLinks) {
  MakeSampleClient(dir.path());
  ASSERT_EQ(Run({"-f", "reference.sql"}).status, 0);
  const std::string reference = ReadFile(dir / "reference.sql");
  EXPECT_EQ(std::filesystem::status(dir / "reference.sql").permissions(),
            std::filesystem::perms(0666 & ~[] {
              const mode_t m = ::umask(0);
              ::umask(m);
              return m;
            }()));
  // An existing script keeps its permission bits; a link keeps pointing at
  // the file it names, which gets the script.
  WriteFile(dir / "real.sql", "old");
  ::chmod((dir / "real.sql").c_str(), 0640);
  std::filesystem::create_symlink("real.sql", dir / "link.sql");
  const RunResult r = Run({"-f", "link.sql"});
  EXPECT_TRUE(r.out.starts_with(kBanner + "\nCreate SQL file link.sql: ok\n"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.sql"));
  EXPECT_EQ(ReadFile(dir / "real.sql"), reference);
  EXPECT_EQ(std::filesystem::status(dir / "real.sql").permissions(), std::filesystem::perms(0640));
  // A link to a file not there yet: the script is written where it points.
  std::filesystem::create_symlink("new.sql", dir / "dangling.sql");
  EXPECT_EQ(Run({"-f", "dangling.sql"}).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling.sql"));
  EXPECT_EQ(ReadFile(dir / "new.sql"), reference);
  // Two runs on one path at once: each renames a whole script.
  {
    Converter a(dir.path(), {"-f", "both.sql"}), b(dir.path(), {"-f", "both.sql"});
    EXPECT_EQ(a.Wait().status, 0);
    EXPECT_EQ(b.Wait().status, 0);
  }
  EXPECT_EQ(ReadFile(dir / "both.sql"), reference);
  // A FIFO is written directly.
  ASSERT_EQ(::mkfifo((dir / "fifo.sql").c_str(), 0644), 0);
  Converter run(dir.path(), {"-f", "fifo.sql"});
  EXPECT_EQ(ReadFile(dir / "fifo.sql"), reference);
  EXPECT_EQ(run.Wait().status, 0);
  EXPECT_TRUE(HiddenFiles(dir.path()).empty());
}

TEST_F(CliTest, AFullDiskFailsTheRun) {
  MakeSampleClient(dir.path());
  const RunResult r = Run({"-f", "/dev/full"});
  EXPECT_NE(r.out.find("ERROR writing SQL file /dev/full: No space left on device\n"),
            std::string::npos);
  EXPECT_EQ(CountOf(r.out, "ERROR writing"), 1u);
  EXPECT_TRUE(r.out.ends_with("Close file\nComplete\n\n"));
  EXPECT_EQ(r.status, 1);
  // The run ends at the broken output; the summary names the cause once
  // and counts the bytes the system took.
  EXPECT_TRUE(r.err.starts_with("vesk-dbc2sql: 0 of " + Tables() + " tables exported in full;"))
      << r.err;
  EXPECT_NE(r.err.find(", 0 bytes written in "), std::string::npos) << r.err;
  EXPECT_EQ(CountOf(Unwrapped(r.err), "No space left on device"), 1u) << r.err;
  EXPECT_NE(r.err.find("\n  the run ended there: "), std::string::npos) << r.err;
  EXPECT_TRUE(r.err.ends_with(" tables not reached\n")) << r.err;
}

// A script on standard output ("-", /dev/stdout, the file it is redirected
// to) gets it alone: the console goes, byte for byte, to standard error.
TEST_F(CliTest, AScriptOnStandardOutputMovesTheConsoleToStandardError) {
  MakeSampleClient(dir.path());
  const RunResult reference = Run({"-f", "reference.sql"});
  const std::string script = ReadFile(dir / "reference.sql");
  for (const std::string target : {"-", "/dev/stdout", "/proc/self/fd/1"}) {
    const RunResult r = Run({"--file=" + target});
    EXPECT_EQ(r.status, 0) << target;
    EXPECT_EQ(r.out, script) << target;
    const std::size_t console_end =
        reference.out.size() - std::strlen("reference.sql") + target.size();
    EXPECT_EQ(r.err.substr(0, console_end),
              kBanner + "\nCreate SQL file " + target + ": ok\n" +
                  reference.out.substr(reference.out.find("Change locale")))
        << target;
  }
  const std::string in_dir = "cd " + Quoted(dir.path()) + " && " + QuotedBinary();
  EXPECT_EQ(Shell(in_dir + " -f same.sql >same.sql 2>/dev/null"), 0);
  EXPECT_EQ(ReadFile(dir / "same.sql"), script);
  // A reader that goes away ends the run at once, said once.
  const std::string piped =
      in_dir + " -f - 2>err.txt | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}";
  EXPECT_EQ(WEXITSTATUS(Shell(piped)), 1);
  const std::string err = ReadFile(dir / "err.txt");
  EXPECT_EQ(CountOf(Unwrapped(err), "Broken pipe"), 2u)
      << "the console's line and the summary's: " << err;
  EXPECT_NE(err.find("\n  the run ended there: "), std::string::npos) << err;
  // The summary accounts for every table: written before, blamed, not reached.
  const std::string summary = Unwrapped(err.substr(err.find("vesk-dbc2sql: 0 of")));
  int accounted = CountOf(summary, "): ERROR writing SQL file -: Broken pipe") == 1 ? 1 : 0;
  for (const char* counted : {" written before the output failed", " not reached"}) {
    const std::size_t at =
        summary.find(counted);  // "  N tables were written ...", "... N tables not reached"
    if (at == std::string::npos) continue;  // none written before the reader left
    const std::size_t line = summary.rfind('\n', at) + 1;
    const std::size_t number =
        std::string(counted) == " not reached" ? summary.rfind(": ", at) + 2 : line + 2;
    accounted += std::stoi(summary.substr(number));
  }
  EXPECT_EQ(accounted, static_cast<int>(CatalogueSize())) << summary;
  // Standard output is refused when it is a client file, closed, or the
  // same file as standard error; nothing is written.
  const std::string spell = ReadFile(dir / "dbc/Spell.dbc");
  for (const std::string redirect : {"1<>dbc/Spell.dbc", ">>dbc/Spell.dbc"})
    EXPECT_EQ(WEXITSTATUS(Shell(in_dir + " -f - " + redirect + " 2>/dev/null")), 1) << redirect;
  EXPECT_EQ(ReadFile(dir / "dbc/Spell.dbc"), spell);
  EXPECT_EQ(RunConverter(dir.path(), {"-f", "-"}, {1}).status, 1);
  EXPECT_EQ(WEXITSTATUS(Shell(in_dir + " -f - >both.txt 2>&1")), 2);
  EXPECT_EQ(ReadFile(dir / "both.txt").find("SET NAMES"), std::string::npos);
}

// A regular file is replaced whole wherever it is, /dev/shm included;
// only what is not a regular file is written in place.
TEST_F(CliTest, ARegularFileUnderDevIsReplacedToo) {
  MakeSampleClient(dir.path());
  TempDir shm_dir;  // a file name of the test's own under /dev/shm
  const std::string target = "/dev/shm/" + shm_dir.path().substr(shm_dir.path().rfind('/') + 1);
  WriteFile(target, "old script\n");
  struct stat before;
  ::stat(target.c_str(), &before);
  RunConverter(shm_dir.path(), {"-f", target});
  EXPECT_EQ(ReadFile(target), "old script\n") << "a run that exports nothing keeps it";
  const RunResult r = RunConverter(dir.path(), {"-f", target});
  struct stat after;
  ::stat(target.c_str(), &after);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(before.st_ino, after.st_ino) << "replaced, not written in place";
  EXPECT_TRUE(ReadFile(target).starts_with("SET NAMES `utf8`;\nDROP TABLE"));
  EXPECT_EQ(r.err.find("in place"), std::string::npos) << r.err;
  std::filesystem::remove(target);
}

// A folder whose entry cannot be flushed to the disk after the script took
// its place (here one the user may write into but not read) fails the
// run, naming the folder: the new script may not survive a power loss.
TEST_F(CliTest, AFolderThatCannotBeFlushedFailsTheRun) {
  MakeSampleClient(dir.path());
  ::chmod(dir.path().c_str(), 0755);
  std::filesystem::create_directory(dir / "blind");
  ::chmod((dir / "blind").c_str(), 0333);
  if (const std::string closed = FolderClosedTo(65534, dir.path()); !closed.empty())
    GTEST_SKIP() << "user 65534 cannot enter " << closed;
  const RunResult r = RunConverterAs(65534, dir.path(), {"-f", "blind/out.sql"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(Unwrapped(r.err).find("vesk-dbc2sql: the folder blind of blind/out.sql cannot be "
                                  "flushed to the disk: Permission denied"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(Exists("blind/out.sql"));
}

// Where the script cannot take its target's place by a rename, it is
// written in place, after a warning: the old script, longer than the new
// one, leaves nothing behind.
TEST_F(CliTest, ATargetThatARenameCannotReplaceIsWrittenInPlace) {
  MakeSampleClient(dir.path());
  ASSERT_EQ(Run({"-f", "reference.sql"}).status, 0);
  const std::string reference = ReadFile(dir / "reference.sql");
  const std::string old = reference + std::string(100000, 'x');
  // Through a descriptor the caller opened.
  WriteFile(dir / "fd.sql", old);
  EXPECT_EQ(Shell("cd " + Quoted(dir.path()) + " && " + QuotedBinary() +
                  " -f /dev/fd/3 3<>fd.sql >/dev/null 2>&1"),
            0);
  EXPECT_EQ(ReadFile(dir / "fd.sql"), reference);
  // Another user's file in a sticky folder, which that user may write.
  ::chmod(dir.path().c_str(), 0755);
  std::filesystem::create_directory(dir / "shared");
  ::chmod((dir / "shared").c_str(), 01777);
  WriteFile(dir / "shared/out.sql", old);
  ::chmod((dir / "shared/out.sql").c_str(), 0666);
  if (const std::string closed = FolderClosedTo(65534, dir.path()); !closed.empty())
    GTEST_SKIP() << "user 65534 cannot enter " << closed;
  const RunResult r = RunConverterAs(65534, dir.path(), {"-f", "shared/out.sql"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Unwrapped(r.err).starts_with(
      "vesk-dbc2sql: writing shared/out.sql in place: its folder is sticky and the file belongs "
      "to another user; an interrupted or failed run leaves it partial\n"))
      << r.err;
  EXPECT_EQ(ReadFile(dir / "shared/out.sql"), reference);
  // A file mounted over another.
  WriteFile(dir / "mounted.sql", old);
  WriteFile(dir / "source.sql", old);
  if (Shell("mount --bind " + Quoted(dir / "source.sql") + " " + Quoted(dir / "mounted.sql")) != 0)
    GTEST_SKIP() << "no bind mounts here";
  const RunResult m = Run({"-f", "mounted.sql"});
  Shell("umount " + Quoted(dir / "mounted.sql"));
  EXPECT_EQ(m.status, 0);
  EXPECT_NE(Unwrapped(m.err).find("writing mounted.sql in place: it is a mount point"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir / "source.sql"), reference);
  EXPECT_TRUE(HiddenFiles(dir.path()).empty());
}

// The script reaches the disk before it replaces the old one, and the
// rename reaches it after.
TEST_F(CliTest, TheReplacementIsDurable) {
  if (std::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "no strace";
  MakeSampleClient(dir.path());
  WriteFile(dir / "out.sql", "old script\n");
  // (The leak checker of a sanitizer build cannot run under a tracer.)
  ASSERT_EQ(Shell("cd " + Quoted(dir.path()) + " && ASAN_OPTIONS=detect_leaks=0 strace -f " +
                  "-o trace.txt -e trace=fsync,rename,renameat2,sync_file_range " + QuotedBinary() +
                  " -f out.sql >/dev/null 2>&1"),
            0);
  const std::string trace = ReadFile(dir / "trace.txt");
  const std::size_t swap = trace.find("renameat2(");
  ASSERT_NE(swap, std::string::npos) << trace;
  EXPECT_LT(trace.find("fsync("), swap) << trace;
  EXPECT_LT(trace.find("sync_file_range("), trace.find("fsync(")) << "the disk starts early";
  EXPECT_GT(trace.rfind("fsync("), swap) << trace;
}

}  // namespace
