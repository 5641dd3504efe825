#include "port/test_pause.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Entry {
  std::string point, key, fifo;
  std::atomic<bool> used{false};
};

bool OwnFifo(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_uid == ::geteuid();
}

// The armed entries, read once from the environment (a function-local
// static: safe to reach first from any thread).
const std::vector<std::unique_ptr<Entry>>& Armed() {
  static const std::vector<std::unique_ptr<Entry>> armed = [] {
    std::vector<std::unique_ptr<Entry>> entries;
    const char* value = std::getenv("VESK_DBC2SQL_TEST_PAUSE");
    if (!value) return entries;
    std::string list = value;
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      const std::string item = list.substr(start, end - start);
      start = end + 1;
      const std::size_t at = item.find('@');
      if (at == std::string::npos) continue;
      const std::string fifo = item.substr(at + 1);
      if (!OwnFifo(fifo) || !OwnFifo(fifo + ".go")) continue;
      auto entry = std::make_unique<Entry>();
      const std::string name = item.substr(0, at);
      const std::size_t colon = name.find(':');
      entry->point = name.substr(0, colon);
      if (colon != std::string::npos) entry->key = name.substr(colon + 1);
      entry->fifo = fifo;
      entries.push_back(std::move(entry));
    }
    return entries;
  }();
  return armed;
}

int OpenRetrying(const char* path, int flags) {
  int fd;
  while ((fd = ::open(path, flags | O_CLOEXEC)) < 0 && errno == EINTR) {
  }
  return fd;
}

void Hold(const Entry& entry, const std::string& line) {
  // 1. Arrived: the test reads the line, then end of file.
  const int out = OpenRetrying(entry.fifo.c_str(), O_WRONLY);
  if (out < 0) return;
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t n = ::write(out, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(out);
  // 2. Held until the test opens the second FIFO for writing and closes
  // it. The wait is a poll(), where signals are taken at once (a
  // sanitizer's runtime defers them inside some other calls): a FIFO
  // opened without waiting reports nothing until a writer has come and
  // gone.
  const int in = OpenRetrying((entry.fifo + ".go").c_str(), O_RDONLY | O_NONBLOCK);
  if (in < 0) return;
  for (;;) {
    pollfd ready = {in, POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buffer[64];
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  ::close(in);
}

}  // namespace

bool TestPauseArmed() { return !Armed().empty(); }

void TestPause(std::string_view point, std::string_view key, std::string_view detail) {
  const std::vector<std::unique_ptr<Entry>>& armed = Armed();
  if (armed.empty()) return;
  for (const std::unique_ptr<Entry>& entry : armed) {
    if (entry->point != point || (!entry->key.empty() && entry->key != key)) continue;
    if (entry->used.exchange(true)) continue;
    std::string line(point);
    line.append(" ").append(key).append(" ").append(detail).append("\n");
    Hold(*entry, line);
    return;
  }
}
