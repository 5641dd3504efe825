// The watch over the rows in flight on a run's connections. A statement
// sent on its own is watched by ServerSession::Query() itself, which waits
// for the first byte of the answer; the rows of a table are not: a batch
// answers statement by statement, and an array of the prepared insert is
// sent and read inside the client library, so that a connection blocked on
// them cannot look up. The watch does, from a thread of its own and a
// connection of its own, every tenth of a second:
// - a first signal ends the rows in flight (KILL QUERY), so that the run
//   stops within a second even when the server waits or stalls;
// - after 2 s a wait for a lock is said on standard error, with who holds
//   it where the server tells; after 10 s rows still in flight are said,
//   with the server's state of them (or that the server does not answer);
// - 2 s after a first signal, or as soon as the server does not answer
//   the watch's own connection then (its timeouts are 1 s), every connection
//   of the run still in use is cut (ServerSession::CutConnection()): a
//   server that did not end the statements in flight (a stopped one)
//   cannot hold a run asked to stop.
// Where no thread can be had, nothing is watched and the rows go as before.
//
// Thread-safe: the run's connections register their rows from their own
// threads (WatchedRows). The watch thread uses a connection's session only
// while it is registered, under the watch's mutex, and only for what does
// not change while its statement is in flight (its server id and how to
// connect like it); the registering thread is then blocked in the library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <string>
#include <vector>

#include "port/mutex.h"
#include "port/thread.h"

class ServerSession;

class StatementWatch {
 public:
  StatementWatch() = default;
  ~StatementWatch();  // stops the thread
  StatementWatch(const StatementWatch&) = delete;
  StatementWatch& operator=(const StatementWatch&) = delete;

  // Whether a thread watches (false before the first rows, or where none
  // could be had).
  bool running() const EXCLUDES(mutex_);

  // The run's connections, known from their first statement to their end;
  // the watch thread starts with the first one.
  void Attach(ServerSession& session) EXCLUDES(mutex_);
  void Detach(ServerSession& session) EXCLUDES(mutex_);

 private:
  friend class WatchedRows;
  using Clock = std::chrono::steady_clock;
  struct Entry {
    ServerSession* session = nullptr;  // null: a free entry
    const char* table = nullptr;
    Clock::time_point since{};
    bool said = false, ended = false, looked = false;
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Registers rows in flight; kNone when nothing watches.
  std::size_t Add(ServerSession& session, const char* table) EXCLUDES(mutex_);
  void Remove(std::size_t entry) EXCLUDES(mutex_);
  void Run() EXCLUDES(mutex_);
  void Look(Entry& entry) REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
  std::vector<ServerSession*> sessions_ GUARDED_BY(mutex_);
  Clock::time_point interrupted_at_ GUARDED_BY(mutex_);
  bool interrupted_ GUARDED_BY(mutex_) = false;
  bool cut_all_ GUARDED_BY(mutex_) = false;
  // A KILL QUERY of the rows in flight found no server to take it.
  bool unanswered_ GUARDED_BY(mutex_) = false;
  // Starts the thread when it has not been.
  void Start() REQUIRES(mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
  bool running_ GUARDED_BY(mutex_) = false;
  bool stop_ GUARDED_BY(mutex_) = false;
  std::unique_ptr<ServerSession> side_ GUARDED_BY(mutex_);
  Thread thread_;  // started under the mutex, joined by the destructor
};

// Rows of `table` in flight on `session` for its scope, watched by `watch`
// (null: none).
class WatchedRows {
 public:
  WatchedRows(StatementWatch* watch, ServerSession& session, const char* table);
  ~WatchedRows();
  WatchedRows(const WatchedRows&) = delete;
  WatchedRows& operator=(const WatchedRows&) = delete;

 private:
  StatementWatch* const watch_;
  const std::size_t entry_;
};
