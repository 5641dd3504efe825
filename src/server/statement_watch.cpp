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
  thread_.Join();
}

bool StatementWatch::running() const {
  MutexLock lock(mutex_);
  return running_;
}

void StatementWatch::Start() {
  if (started_) return;
  started_ = true;
  running_ = thread_.Start([this] { Run(); });
}

void StatementWatch::Attach(ServerSession& session) {
  MutexLock lock(mutex_);
  Start();
  sessions_.push_back(&session);
}

void StatementWatch::Detach(ServerSession& session) {
  MutexLock lock(mutex_);
  std::erase(sessions_, &session);
}

std::size_t StatementWatch::Add(ServerSession& session, const char* table) {
  MutexLock lock(mutex_);
  Start();
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
    // A run asked to stop ends within seconds, its cleanup included, on a
    // server that answers; one that does not gets its connections cut, at
    // once when it did not take the KILL QUERY.
    if (PendingInterrupt() && !interrupted_) {
      interrupted_ = true;
      interrupted_at_ = Clock::now();
      // Whether the server answers at all: statements sent on their own
      // are not among the rows watched.
      if (side_ && side_->lost()) side_.reset();
      if (!side_ && !sessions_.empty()) side_ = SideSession(*sessions_.front());
      if (!side_ || !side_->Quietly("DO 0")) unanswered_ = true;
    }
    if (interrupted_ && !cut_all_ &&
        (unanswered_ || Clock::now() - interrupted_at_ >= std::chrono::seconds(2))) {
      cut_all_ = true;
      for (ServerSession* session : sessions_) session->CutConnection();
    }
  }
  side_.reset();
}

void StatementWatch::Look(Entry& entry) {
  const double waited = std::chrono::duration<double>(Clock::now() - entry.since).count();
  const bool interrupted = PendingInterrupt() != 0;
  if (entry.ended) return;
  if (!interrupted && (entry.said || waited < 2 || (entry.looked && waited < 10))) return;
  if (side_ && side_->lost()) side_.reset();
  if (!side_) side_ = SideSession(*entry.session);
  const unsigned long id = entry.session->ThreadId();
  if (interrupted) {
    // The run is asked to stop: the rows are ended rather than waited for;
    // their connection stays.
    entry.ended = true;
    if (!side_ || !side_->Quietly("KILL QUERY " + std::to_string(id))) unanswered_ = true;
    return;
  }
  if (!side_ || side_->lost()) {
    // No answer from the side either: said once the rows waited 10 s.
    if (waited >= 10) {
      Warn(std::string("the rows of ") + entry.table + " have been in flight for 10 s; " +
           ServerSession::NotAnswering());
      entry.said = true;
    }
    entry.looked = true;
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
    Warn(name + " have been in flight for 10 s; " +
         (side_->lost() ? ServerSession::NotAnswering()
                        : "the server's state of them: " +
                              (state.empty() ? "unknown" : "\"" + state + "\"")));
    entry.said = true;
  }
  entry.looked = true;
}

WatchedRows::WatchedRows(StatementWatch* watch, ServerSession& session, const char* table)
    : watch_(watch), entry_(watch ? watch->Add(session, table) : StatementWatch::kNone) {}

WatchedRows::~WatchedRows() {
  if (entry_ != StatementWatch::kNone) watch_->Remove(entry_);
}
