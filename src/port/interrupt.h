// The signals that end a run from outside (SIGINT, SIGTERM, SIGHUP, a CPU
// limit, a timer, ...). While an InterruptGuard lives, the first such signal
// only asks the run to stop: the run finishes the statement or piece of rows
// in flight, leaves its output as it was where it can (the old script is
// kept), prints its summary and then ends by that signal. A second signal
// ends the process at once, removing the file named by SetDoomedFile(): a
// run that cannot stop by itself (blocked on a console nobody reads) still
// ends when asked again.
//
// A signal that was ignored when the process started (nohup, a background
// job of a script) stays ignored. SIGPIPE and SIGXFSZ are ignored while the
// guard lives: the write that raises them fails instead (EPIPE, EFBIG) and is
// reported as a write error. Faults of the process itself (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS) keep their default action, so
// that a crash keeps its core dump and its sanitizer report.
//
// The handler runs on whichever thread the system picks; it touches only
// lock-free atomics, calls shutdown() on the first signal inside an
// AbortSocketOnInterrupt and, on the second signal (or the first inside an
// EndAtOnce), write(), unlink(), signal(), raise() and _exit(), all
// async-signal-safe.
#pragma once

#include <string>

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();  // puts back the actions the process had before
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// While it lives, the first signal ends the process at once instead of
// asking the run to stop: for a step that blocks and changes nothing, such
// as connecting or waiting for a lock. A last line on standard error says
// "vesk-dbc2sql: interrupted by SIGTERM <what>; no table exported; exit
// status 143"; `what` ("while connecting") must outlive the scope.
class EndAtOnce {
 public:
  explicit EndAtOnce(const char* what);
  ~EndAtOnce();
  EndAtOnce(const EndAtOnce&) = delete;
  EndAtOnce& operator=(const EndAtOnce&) = delete;
};

// While it lives, the first signal also shuts the socket `fd` down: a read
// of a server's rows blocked on it (the server sorting a large table, or
// streaming it) ends at once with an error, rather than after the rows,
// and the server ends the statement. For a run that only reads, which has
// no use for the connection once asked to stop.
class AbortSocketOnInterrupt {
 public:
  explicit AbortSocketOnInterrupt(int fd);
  ~AbortSocketOnInterrupt();
  AbortSocketOnInterrupt(const AbortSocketOnInterrupt&) = delete;
  AbortSocketOnInterrupt& operator=(const AbortSocketOnInterrupt&) = delete;
};

// The signal that asked the run to stop, or 0.
int PendingInterrupt();

// "SIGINT", "SIGTERM", ...; "signal N" for one without a name here.
const char* SignalName(int signal_number);
// Why a run, a table or a wait ended early: "interrupted by SIGTERM".
std::string InterruptedBy(int signal_number);

// The file a second signal removes before ending the process (the
// temporary script); null or "" for none. Not thread-safe: called by the
// thread that runs the export.
void SetDoomedFile(const char* path);

// Ends the process by `signal_number` as if it had not been caught, once the
// run has cleaned up: by the signal itself where its default action ends the
// process without a core dump (so that a calling shell sees it), otherwise
// with status 128 + its number.
[[noreturn]] void EndBySignal(int signal_number);
