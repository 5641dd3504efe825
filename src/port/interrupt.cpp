#include "port/interrupt.h"

#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "port/program.h"

namespace {

std::atomic<int> pending{0};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

// Written by the export thread; the handler reads it only while `doomed_set`
// says it is whole.
char doomed[PATH_MAX + 32];
std::atomic<bool> doomed_set{false};

// Signals whose default action ends the process, sent from outside.
constexpr int kEnding[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGALRM, SIGUSR1,  SIGUSR2,
                           SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT};
// Signals raised by a failing write, which reports the failure itself.
constexpr int kFromWrites[] = {SIGPIPE, SIGXFSZ};

constexpr int kMaxSignal = 65;
struct sigaction saved[kMaxSignal];
bool installed[kMaxSignal];

// Whether the default action of the signal dumps core.
bool DumpsCore(int s) { return s == SIGQUIT || s == SIGXCPU || s == SIGXFSZ; }

// The name of a signal this file knows, or null; async-signal-safe.
const char* KnownName(int signal_number) {
  switch (signal_number) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGTERM: return "SIGTERM";
    case SIGALRM: return "SIGALRM";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGXCPU: return "SIGXCPU";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGIO: return "SIGIO";
    case SIGPWR: return "SIGPWR";
    default: return nullptr;
  }
}

// What a step that ends at once was doing, or null.
std::atomic<const char*> ending_at_once{nullptr};

// The socket the first signal shuts down, or -1.
std::atomic<int> abort_socket{-1};

// A line built in a signal handler: no allocation, no formatting calls.
struct HandlerLine {
  char text[200];
  std::size_t size = 0;
  void Put(const char* part) {
    while (*part && size < sizeof text - 1) text[size++] = *part++;
  }
  void PutNumber(int n) {
    char digits[12];
    int count = 0;
    do digits[count++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) > 0 && count < 11);
    while (count > 0 && size < sizeof text - 1) text[size++] = digits[--count];
  }
};

// The last line of a run ended at once by `signal_number`; only
// async-signal-safe calls.
void SayEndedAtOnce(int signal_number, const char* what) {
  HandlerLine line;
  line.Put(kProgramName);
  line.Put(": interrupted by ");
  if (const char* name = KnownName(signal_number)) {
    line.Put(name);
  } else {
    line.Put("signal ");
    line.PutNumber(signal_number);
  }
  line.Put(" ");
  line.Put(what);
  line.Put("; no table exported; exit status ");
  line.PutNumber(128 + signal_number);
  line.text[line.size++] = '\n';
  [[maybe_unused]] const ssize_t n = ::write(2, line.text, line.size);
}

extern "C" void OnInterrupt(int signal_number) {
  int none = 0;
  const bool first = pending.compare_exchange_strong(none, signal_number);
  const char* at_once = ending_at_once.load();
  if (const int socket = abort_socket.load(); first && socket >= 0) ::shutdown(socket, SHUT_RDWR);
  if (first && !at_once) return;
  if (first) SayEndedAtOnce(signal_number, at_once);
  // Asked again: the run did not stop by itself. Every call here is
  // async-signal-safe.
  if (doomed_set.load()) ::unlink(doomed);
  if (DumpsCore(signal_number)) ::_exit(128 + signal_number);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);  // delivered once the handler returns
}

void Install(int s, void (*handler)(int)) {
  struct sigaction before;
  if (s >= kMaxSignal || ::sigaction(s, nullptr, &before) != 0) return;
  if (before.sa_handler == SIG_IGN) return;  // the caller wants it ignored
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (::sigaction(s, &action, nullptr) == 0) {
    saved[s] = before;
    installed[s] = true;
  }
}

}  // namespace

InterruptGuard::InterruptGuard() {
  for (int s : kEnding) Install(s, OnInterrupt);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) Install(s, OnInterrupt);
  for (int s : kFromWrites) Install(s, SIG_IGN);
}

InterruptGuard::~InterruptGuard() {
  for (int s = 1; s < kMaxSignal; ++s) {
    if (!installed[s]) continue;
    ::sigaction(s, &saved[s], nullptr);
    installed[s] = false;
  }
}

AbortSocketOnInterrupt::AbortSocketOnInterrupt(int fd) {
  abort_socket.store(fd);
  // A signal that came just before is not missed.
  if (PendingInterrupt() && fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

AbortSocketOnInterrupt::~AbortSocketOnInterrupt() { abort_socket.store(-1); }

EndAtOnce::EndAtOnce(const char* what) { ending_at_once.store(what); }

EndAtOnce::~EndAtOnce() { ending_at_once.store(nullptr); }

int PendingInterrupt() { return pending.load(); }

const char* SignalName(int signal_number) {
  if (const char* name = KnownName(signal_number)) return name;
  static char other[32];
  std::snprintf(other, sizeof other, "signal %d", signal_number);
  return other;
}

void SetDoomedFile(const char* path) {
  doomed_set.store(false);
  if (!path || !*path || std::strlen(path) >= sizeof doomed) return;
  std::strcpy(doomed, path);
  doomed_set.store(true);
}

void EndBySignal(int signal_number) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (!DumpsCore(signal_number)) {
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
  }
  ::_exit(128 + signal_number);
}

std::string InterruptedBy(int signal_number) {
  return std::string("interrupted by ") + SignalName(signal_number);
}
