#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <signal.h>
#include <spawn.h>
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
          const std::vector<int>& closed) {
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
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}
}  // namespace

Converter::Converter(const std::string& dir, const std::vector<std::string>& args, int out_fd,
                     const std::vector<int>& closed)
    : out_name_(TempName("/tmp/vesk-out-XXXXXX")), err_name_(TempName("/tmp/vesk-err-XXXXXX")) {
  pid_ = Spawn(dir, VESK_BINARY, args, out_fd, out_name_, err_name_, closed);
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

BlockedRun::BlockedRun(const std::string& dir, const std::vector<std::string>& args,
                       const std::string& until) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  console_ = fds[0];
  run_ = std::make_unique<Converter>(dir, args, fds[1]);
  ::close(fds[1]);
  char buffer[4096];
  do {
    const ssize_t n = ::read(console_, buffer, until.empty() ? 256 : sizeof buffer);
    if (n <= 0) break;
    out_.append(buffer, static_cast<std::size_t>(n));
  } while (out_.find(until) == std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

BlockedRun::~BlockedRun() { ::close(console_); }

void BlockedRun::Signal(int signal_number) { ::kill(run_->pid(), signal_number); }

RunResult BlockedRun::Finish() {
  char buffer[4096];
  for (ssize_t n; (n = ::read(console_, buffer, sizeof buffer)) > 0;)
    out_.append(buffer, static_cast<std::size_t>(n));
  RunResult result = run_->Wait();
  result.out = out_;
  return result;
}

RunResult RunConverter(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<int>& closed) {
  return Converter(dir, args, -1, closed).Wait();
}

RunResult RunConverterAs(uid_t uid, const std::string& dir, const std::vector<std::string>& args) {
  const std::string out = TempName("/tmp/vesk-out-XXXXXX"), err = TempName("/tmp/vesk-err-XXXXXX");
  std::vector<char*> argv = {const_cast<char*>(VESK_BINARY)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY), e = ::open(err.c_str(), O_WRONLY);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::chdir(dir.c_str()) != 0 ||
        ::setgid(uid) != 0 || ::setuid(uid) != 0)
      ::_exit(125);
    ::execv(VESK_BINARY, argv.data());
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
