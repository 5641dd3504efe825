#include "server/statement_watch.h"

#include "port/console.h"
#include "port/interrupt.h"
#include "port/test_pause.h"
#include "port/thread.h"
#include "server/server_session.h"

StatementWatch::~StatementWatch() {
  {
    MutexLock lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool StatementWatch::running() const {
  MutexLock lock(mutex_);
  return running_;
}

std::size_t StatementWatch::Add(ServerSession& session, const char* table) {
  MutexLock lock(mutex_);
  if (!started_) {
    started_ = true;
    running_ = StartThread(&thread_, [this] { Run(); });
  }
  if (!running_) return kNone;
  std::size_t at = 0;
  while (at < entries_.size() && entries_[at].session) ++at;
  if (at == entries_.size()) entries_.emplace_back();
  entries_[at] = {&session, table, Clock::now()};
  return at;
}

void StatementWatch::Remove(std::size_t entry) {
  MutexLock lock(mutex_);
  entries_[entry] = {};
}

void StatementWatch::Run() {
  MutexLock lock(mutex_);
  while (!stop_) {
    mutex_.AwaitFor(changed_, std::chrono::milliseconds(100));
    for (Entry& entry : entries_)
      if (entry.session && !stop_) Look(entry);
  }
  side_.reset();
}

void StatementWatch::Look(Entry& entry) {
  const double waited = std::chrono::duration<double>(Clock::now() - entry.since).count();
  const bool interrupted = PendingInterrupt() != 0;
  if (entry.ended) return;
  if (!interrupted && (entry.said || waited < 2 || (entry.looked && waited < 10))) return;
  if (!side_) side_ = SideSession(*entry.session);
  if (!side_) return;
  const unsigned long id = entry.session->ThreadId();
  if (interrupted) {
    // The run is asked to stop: the rows are ended rather than waited for;
    // their connection stays.
    entry.ended = true;
    side_->Quietly("KILL QUERY " + std::to_string(id));
    return;
  }
  bool on_lock = false;
  const std::string state = DescribeWait(*side_, id, &on_lock);
  const std::string name = std::string("the rows of ") + entry.table;
  if (on_lock) {
    Warn(name + " wait for " + state + " (at most " +
         std::to_string(entry.session->load().lock_wait_seconds) + " s, --lock-wait)");
    entry.said = true;
  } else if (waited >= 10) {
    Warn(name + " have been in flight for 10 s; the server's state of them: " +
         (state.empty() ? "unknown" : "\"" + state + "\""));
    entry.said = true;
  }
  entry.looked = true;
}

WatchedRows::WatchedRows(StatementWatch* watch, ServerSession& session, const char* table)
    : watch_(watch), entry_(watch ? watch->Add(session, table) : StatementWatch::kNone) {}

WatchedRows::~WatchedRows() {
  if (entry_ != StatementWatch::kNone) watch_->Remove(entry_);
}
