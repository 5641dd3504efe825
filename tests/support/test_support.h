// Helpers shared by the tests: temporary folders, crafted client files,
// capture of the console, and runs of the built binaries.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbc_writer.h"

struct TableDescriptor;

// The catalogue entry whose SQL table is `table`; throws if there is none.
const TableDescriptor& CatalogueEntry(const char* table);

// Number of tables a run exports (the catalogue's, the rating table
// included), and the same as text: whole runs must export every one.
std::size_t CatalogueSize();
std::string Tables();

// A fresh folder below the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs `body` with the working directory set to `dir`; the previous one is
// restored however `body` ends (a failed assertion, an exception).
void InDirectory(const std::string& dir, const std::function<void()>& body);

// Runs `body` and returns what it printed on standard output, which is
// restored however `body` ends.
std::string CaptureStdout(const std::function<void()>& body);

// The console's progress bar: the empty bar, the redraw with `stars` filled
// cells, and the whole bar of a table of `rows` rows that stops after
// `done` of them (the line break at its end included).
extern const std::string kEmptyBar;
std::string Redraw(int stars);
std::string BarOf(int rows, int done);

std::uint32_t FloatBits(float f);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// Writes `bytes` as the client file `name` (for example "Spell") of the
// client folder `dir`, creating dir/dbc.
void WriteClientFile(const std::string& dir, const std::string& name, const std::string& bytes);

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A converter started in `dir` with the given arguments (no shell quoting
// needed), its standard output and error captured in files, or its standard
// output on `out_fd` when that is given; `closed` descriptors are closed in
// the child. Wait() collects it (sending `kill_signal` first if it is set),
// killing it and failing the test after kRunTimeLimit.
class Converter {
 public:
  // `env`: "NAME=value" entries added to the test's environment.
  Converter(const std::string& dir, const std::vector<std::string>& args, int out_fd = -1,
            const std::vector<int>& closed = {}, const std::vector<std::string>& env = {});
  ~Converter();
  int pid() const { return pid_; }
  RunResult Wait(int kill_signal = 0);
  // Whether the run has ended (it is not collected).
  bool Ended() const;
  // What it printed so far, for a failure message.
  std::string OutputSoFar() const;

 private:
  int pid_ = -1;
  std::string out_name_, err_name_;
};

// A converter that holds at named points of its run (src/port/test_pause.h
// says how the binary offers them). Each entry of `points` is "point" or
// "point:key", for example "table:vesk_itemset" (the first connection,
// before that table's first statement), "sibling-table" (another
// connection's first table), "rows:vesk_spell" (after that table's first
// rows went out), "loaded:vesk_spell" (a parallel run's table loaded, before
// the schedule hears of it) or "schedule-wait" (a connection about to wait
// for room in the parallel schedule, the schedule's lock held),
// "slot-released:1" (connection 1 let its slot lock go, its run stopped by
// another run); each holds
// the run once. A test waits until the run is
// held, acts (a signal, a KILL of the connection the point names), and
// releases it: the act lands at that point, on any machine. Every wait
// fails the test after kRunTimeLimit, with what the run printed.
class PausedRun {
 public:
  PausedRun(const std::string& dir, const std::vector<std::string>& args,
            const std::vector<std::string>& points);
  ~PausedRun();
  // Waits until the run holds at point `i`; returns its line ("table
  // vesk_item_set first 12": the point, its key and detail).
  std::string WaitHeld(std::size_t i = 0);
  void Release(std::size_t i = 0);
  void Signal(int signal_number);
  // Waits until the run's handler took `signal_number` (it is no longer
  // pending), so that another one is a second signal, not a merged one.
  void AwaitSignalTaken(int signal_number);
  // Releases the points not yet released (unless the run ended, or
  // `release` is false: a run that must end while held), then collects
  // the run.
  RunResult Finish(bool release = true);
  int pid() const { return run_->pid(); }

 private:
  std::unique_ptr<TempDir> fifo_dir_;
  std::vector<std::string> fifos_;
  std::vector<bool> released_;
  std::unique_ptr<Converter> run_;
};

// The words of a "table" or "sibling-table" pause point's line: "table
// vesk_itemset first 12 vesk_itemset__new_0a1b2c3d": the server's id of the
// connection (for KILL) is the fourth; the last is the name the table is
// loaded under (its staging table's with --atomic).
inline std::string WordOf(const std::string& line, int n) {
  std::size_t start = 0;
  for (int i = 0; i < n && start != std::string::npos; ++i) {
    start = line.find(' ', start);
    if (start != std::string::npos) ++start;
  }
  if (start == std::string::npos) return "";
  return line.substr(start, line.find(' ', start) - start);
}
inline std::string ConnectionIdOf(const std::string& line) { return WordOf(line, 3); }

// Runs `command` (a shell command line, in `dir`) on a new pseudo-terminal
// of its own; for each step, waits until the terminal shows `wait_for`
// (after what the earlier steps waited for), then types `keys`. Returns
// all the terminal showed, once the command ended; a wait that times out
// fails the test with what the terminal showed by then.
struct TerminalStep {
  std::string wait_for, keys;
};
std::string RunOnTerminal(const std::string& dir, const std::string& command,
                          const std::vector<TerminalStep>& steps);

// `text` in single quotes for a shell command line, whatever it holds
// (blanks, quotes, a dollar sign): paths of the clone must not be split.
std::string Quoted(const std::string& text);
// The converter's and the source tree's paths so quoted.
std::string QuotedBinary();
std::string QuotedSource(const std::string& relative);
// Runs `command` with `bash -c`, taken as it is (no second level of
// quoting); returns its wait status, as std::system does.
int Shell(const std::string& command);

// Runs the converter to its end; see Converter.
RunResult RunConverter(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<int>& closed = {});
// The same as the user and group `uid` (the test runs as root), from a copy
// of the converter in a folder that user can reach: the build tree may sit
// in a folder closed to others (a home folder of mode 0700).
RunResult RunConverterAs(uid_t uid, const std::string& dir, const std::vector<std::string>& args);
// The first folder on the way to `path` (itself included) that `uid` may
// not enter, or "" when it may reach it: a test that runs as that user
// skips, naming the folder, instead of failing for where the test runs.
std::string FolderClosedTo(uid_t uid, const std::string& path);

// How long one run of the converter may take in a test before it is killed
// and its test fails.
inline constexpr std::chrono::seconds kRunTimeLimit{60};

// The names in `dir` that start with a dot (where the script is written
// before it replaces its target).
std::vector<std::string> HiddenFiles(const std::string& dir);

// Runs the sample client generator into `dir`.
void MakeSampleClient(const std::string& dir, const std::vector<std::string>& args = {});

// Standard error of a run with the wall time of its summary replaced by
// "T": "... in T s".
std::string MaskTime(const std::string& err);

// A summary with its wrapped lines joined again (a continuation line starts
// with four blanks).
std::string Unwrapped(const std::string& err);

// Counts the occurrences of `needle` in `haystack`.
std::size_t CountOf(const std::string& haystack, const std::string& needle);

// The statements of one table in a script: from its DROP up to the next DROP.
std::string TableSection(const std::string& script, const std::string& table);
