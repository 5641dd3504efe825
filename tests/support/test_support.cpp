#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "catalogue/catalogue.h"

extern char** environ;

const TableDescriptor& CatalogueEntry(const char* table) {
  for (const TableDescriptor* t : ExportOrder())
    if (std::strcmp(t->table_name, table) == 0) return *t;
  throw std::runtime_error(std::string("no catalogue table ") + table);
}

std::size_t CatalogueSize() { return ExportOrder().size(); }
std::string Tables() { return std::to_string(CatalogueSize()); }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {

// The MySQL client library, whose escaping the statement builder uses, is
// set up once for every test program.
class ClientLibrary : public ::testing::Environment {
 public:
  void SetUp() override { mysql_library_init(0, nullptr, nullptr); }
  void TearDown() override { mysql_library_end(); }
};
::testing::Environment* const client_library =
    ::testing::AddGlobalTestEnvironment(new ClientLibrary);

// Sets the working directory for its lifetime.
class ScopedDirectory {
 public:
  explicit ScopedDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

// Sends standard output to a temporary file for its lifetime.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    fd_ = ::mkstemp(name_);
    saved_ = ::dup(1);
    ::dup2(fd_, 1);
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    ::close(fd_);
    ::unlink(name_);
  }
  std::string Text() {
    std::fflush(stdout);
    return ReadFile(name_);
  }

 private:
  char name_[32] = "/tmp/vesk-stdout-XXXXXX";
  int fd_ = -1, saved_ = -1;
};

}  // namespace

void InDirectory(const std::string& dir, const std::function<void()>& body) {
  ScopedDirectory in(dir);
  body();
}

std::string CaptureStdout(const std::function<void()>& body) {
  StdoutCapture capture;
  body();
  return capture.Text();
}

const std::string kEmptyBar = "[                                                  ] 0%\r";

std::string Redraw(int stars) {
  return "\r[" + std::string(stars, '*') + std::string(50 - stars, ' ') + "] " +
         std::to_string(stars * 2) + "%  \r";
}

std::string BarOf(int rows, int done) {
  std::string bar = kEmptyBar;
  for (int row = 1, drawn = 0; row <= done; ++row) {
    const int filled = row * 50 / rows;
    if (filled != drawn) bar += Redraw(drawn = filled);
  }
  return bar + "\n";
}

std::uint32_t FloatBits(float f) {
  std::uint32_t w;
  std::memcpy(&w, &f, 4);
  return w;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteClientFile(const std::string& dir, const std::string& name, const std::string& bytes) {
  std::filesystem::create_directories(dir + "/dbc");
  WriteFile(dir + "/dbc/" + name + ".dbc", bytes);
}

namespace {
std::string TempName(const char* pattern) {
  std::string name = pattern;
  const int fd = ::mkstemp(name.data());
  ::close(fd);
  return name;
}

int Spawn(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
          int out_fd, const std::string& out_name, const std::string& err_name,
          const std::vector<int>& closed, const std::vector<std::string>& env = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, out_name.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_name.c_str(), O_WRONLY | O_TRUNC, 0);
  for (int fd : closed) posix_spawn_file_actions_addclose(&actions, fd);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The caller's environment, with `env` ("NAME=value") added.
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}
}  // namespace

Converter::Converter(const std::string& dir, const std::vector<std::string>& args, int out_fd,
                     const std::vector<int>& closed, const std::vector<std::string>& env)
    : out_name_(TempName("/tmp/vesk-out-XXXXXX")), err_name_(TempName("/tmp/vesk-err-XXXXXX")) {
  pid_ = Spawn(dir, VESK_BINARY, args, out_fd, out_name_, err_name_, closed, env);
  EXPECT_GT(pid_, 0) << "cannot start " << VESK_BINARY;
}

Converter::~Converter() {
  if (pid_ > 0) Wait(SIGKILL);
  ::unlink(out_name_.c_str());
  ::unlink(err_name_.c_str());
}

RunResult Converter::Wait(int kill_signal) {
  RunResult result;
  if (pid_ <= 0) return result;
  if (kill_signal) ::kill(pid_, kill_signal);
  // A run that hangs fails its test at once, with what it printed.
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      ADD_FAILURE() << "the run did not end within " << kRunTimeLimit.count() << " s:\n"
                    << ReadFile(out_name_).substr(0, 4000) << ReadFile(err_name_);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(out_name_);
  result.err = ReadFile(err_name_);
  return result;
}

bool Converter::Ended() const {
  siginfo_t info = {};
  return pid_ > 0 &&
         ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid_;
}

std::string Converter::OutputSoFar() const {
  return ReadFile(out_name_).substr(0, 4000) + ReadFile(err_name_);
}

PausedRun::PausedRun(const std::string& dir, const std::vector<std::string>& args,
                     const std::vector<std::string>& points)
    : fifo_dir_(std::make_unique<TempDir>()) {
  std::string armed = "VESK_DBC2SQL_TEST_PAUSE=";
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::string fifo = *fifo_dir_ / ("pause" + std::to_string(i));
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << fifo;
    EXPECT_EQ(::mkfifo((fifo + ".go").c_str(), 0600), 0) << fifo;
    fifos_.push_back(fifo);
    released_.push_back(false);
    armed += (i ? "," : "") + points[i] + "@" + fifo;
  }
  run_ = std::make_unique<Converter>(dir, args, -1, std::vector<int>{},
                                     std::vector<std::string>{armed});
}

PausedRun::~PausedRun() {
  // A run still held is killed by the Converter, not left waiting.
  run_.reset();
}

std::string PausedRun::WaitHeld(std::size_t i) {
  const std::string& fifo = fifos_.at(i);
  // Opened without waiting for the run; the FIFO reports nothing until the
  // run has opened it, written its line and closed it.
  const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << fifo;
  std::string line;
  bool closed = false;
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  while (!closed) {
    if (std::chrono::steady_clock::now() > deadline || run_->Ended()) {
      ADD_FAILURE() << "the run did not reach pause point " << i << " ("
                    << (run_->Ended() ? "it ended" : "time is up") << "); it printed:\n"
                    << run_->OutputSoFar() << "\nand the point said: " << line;
      break;
    }
    pollfd ready = {fd, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) line.append(buffer, static_cast<std::size_t>(n));
    // End of file once the line is whole: the run closed its end.
    if (n == 0 && line.ends_with("\n")) closed = true;
  }
  ::close(fd);
  if (line.ends_with("\n")) line.pop_back();
  return line;
}

void PausedRun::Release(std::size_t i) {
  if (released_.at(i)) return;
  released_[i] = true;
  // Succeeds once the run has opened the FIFO to wait on it.
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  for (;;) {
    const int fd = ::open((fifos_[i] + ".go").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return;
    }
    if (errno != ENXIO || run_->Ended() || std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "cannot release pause point " << i << ": " << std::strerror(errno)
                    << (run_->Ended() ? " (the run ended)" : "");
      return;
    }
    pollfd none = {-1, 0, 0};
    ::poll(&none, 0, 5);
  }
}

void PausedRun::Signal(int signal_number) { ::kill(run_->pid(), signal_number); }

void PausedRun::AwaitSignalTaken(int signal_number) {
  // The signal is no longer pending once its handler ran; a second one
  // sent before would merge with it.
  const std::string status_path = "/proc/" + std::to_string(run_->pid()) + "/status";
  const unsigned long long bit = 1ULL << (signal_number - 1);
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    seen = ReadFile(status_path);
    bool pending = false;
    for (const char* field : {"\nSigPnd:\t", "\nShdPnd:\t"}) {
      const std::size_t at = seen.find(field);
      if (at != std::string::npos &&
          (std::stoull(seen.substr(at + std::strlen(field), 16), nullptr, 16) & bit))
        pending = true;
    }
    if (!pending) return;
    pollfd none = {-1, 0, 0};
    ::poll(&none, 0, 5);
  }
  ADD_FAILURE() << "signal " << signal_number << " still pending:\n" << seen;
}

RunResult PausedRun::Finish(bool release) {
  for (std::size_t i = 0; release && i < fifos_.size(); ++i)
    if (!released_[i] && !run_->Ended()) Release(i);
  return run_->Wait();
}

std::string RunOnTerminal(const std::string& dir, const std::string& command,
                          const std::vector<TerminalStep>& steps) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(master, 0);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return "";
  const std::string slave_name = ::ptsname(master);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int slave = ::open(slave_name.c_str(), O_RDWR);
    if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0 || ::chdir(dir.c_str()) != 0) ::_exit(125);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    if (slave > 2) ::close(slave);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(126);
  }
  std::string shown;
  std::size_t seen_up_to = 0, step = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  for (;;) {
    if (step < steps.size()) {
      const std::size_t at = shown.find(steps[step].wait_for, seen_up_to);
      if (at != std::string::npos) {
        seen_up_to = at + steps[step].wait_for.size();
        const std::string& keys = steps[step].keys;
        EXPECT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        ++step;
        continue;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      // (Past the last step, the command did not end.)
      ADD_FAILURE() << (step < steps.size()
                            ? "the terminal did not show \"" + steps[step].wait_for + "\""
                            : std::string("the command did not end"))
                    << "; it showed:\n"
                    << shown;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd ready = {master, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    char buffer[1024];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO: every process of the terminal closed it
    shown.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  EXPECT_EQ(step, steps.size()) << shown;
  return shown;
}

RunResult RunConverter(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<int>& closed) {
  return Converter(dir, args, -1, closed).Wait();
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string QuotedBinary() { return Quoted(VESK_BINARY); }

std::string QuotedSource(const std::string& relative) {
  return Quoted(std::string(VESK_SOURCE_DIR) + "/" + relative);
}

int Shell(const std::string& command) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return status;
}

std::string FolderClosedTo(uid_t uid, const std::string& path) {
  std::filesystem::path at = std::filesystem::absolute(path);
  std::string closed;
  for (; !at.empty(); at = at.parent_path()) {
    struct stat st;
    if (::stat(at.c_str(), &st) != 0) return at.string();
    const mode_t x = st.st_uid == uid ? S_IXUSR : st.st_gid == uid ? S_IXGRP : S_IXOTH;
    if (S_ISDIR(st.st_mode) && (st.st_mode & x) == 0) closed = at.string();
    if (at == at.parent_path()) break;
  }
  return closed;
}

namespace {

// A copy of the converter that every user may run, made once per program.
const std::string& SharedBinary() {
  static const TempDir folder;
  static const std::string copy = [] {
    const std::string path = folder / "vesk-dbc2sql";
    std::filesystem::copy_file(VESK_BINARY, path);
    ::chmod(folder.path().c_str(), 0755);
    ::chmod(path.c_str(), 0755);
    return path;
  }();
  return copy;
}

}  // namespace

RunResult RunConverterAs(uid_t uid, const std::string& dir, const std::vector<std::string>& args) {
  const std::string out = TempName("/tmp/vesk-out-XXXXXX"), err = TempName("/tmp/vesk-err-XXXXXX");
  const std::string& binary = SharedBinary();
  std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY), e = ::open(err.c_str(), O_WRONLY);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::chdir(dir.c_str()) != 0 ||
        ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
      ::_exit(125);
    ::execv(binary.c_str(), argv.data());
    ::_exit(126);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return result;
}

std::vector<std::string> HiddenFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name[0] == '.') names.push_back(name);
  }
  return names;
}

void MakeSampleClient(const std::string& dir, const std::vector<std::string>& args) {
  std::vector<std::string> all = {dir};
  all.insert(all.end(), args.begin(), args.end());
  const std::string out = TempName("/tmp/vesk-out-XXXXXX");
  const int pid = Spawn(".", VESK_SAMPLE_TOOL, all, -1, out, "/dev/null", {});
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  const std::string text = ReadFile(out);
  ::unlink(out.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
}

std::string MaskTime(const std::string& err) {
  static const std::regex kTime(R"( in [0-9]+\.[0-9]{2} s\b)");
  return std::regex_replace(err, kTime, " in T s");
}

std::string Unwrapped(const std::string& err) {
  static const std::regex kContinued("\n    ");
  return std::regex_replace(err, kContinued, " ");
}

std::size_t CountOf(const std::string& haystack, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++count;
  return count;
}

std::string TableSection(const std::string& script, const std::string& table) {
  const std::string drop = "DROP TABLE IF EXISTS `" + table + "`;\n";
  const std::size_t start = script.find(drop);
  if (start == std::string::npos) return "";
  const std::size_t end = script.find("DROP TABLE IF EXISTS", start + drop.size());
  return script.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
