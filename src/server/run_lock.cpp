#include "server/run_lock.h"

#include <mysql.h>
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "port/console.h"
#include "port/interrupt.h"
#include "port/program.h"
#include "port/test_pause.h"
#include "server/server_session.h"

namespace {

constexpr std::size_t kMaxName = 64;  // the server's limit for a lock's name
// Locks are named "vesk-dbc2sql:<database>".
const std::string kPrefix = std::string(kProgramName) + ":";

std::string Digest(const std::string& text) {
  std::uint64_t digest = 14695981039346656037ull;
  for (const unsigned char c : text) digest = (digest ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
  return hex;
}

double Now() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Whole seconds left until `deadline`, none below 0.
unsigned SecondsLeft(double deadline) {
  const double left = std::ceil(deadline - Now());
  return left > 0 ? static_cast<unsigned>(left) : 0;
}

// `name` as a quoted SQL string for the session's character set.
std::string Quoted(ServerSession& session, const std::string& name) {
  std::string quoted(2 * name.size() + 1, '\0');
  quoted.resize(
      mysql_real_escape_string(session.handle(), quoted.data(), name.c_str(), name.size()));
  return "'" + quoted + "'";
}

// GET_LOCK(name, seconds): "1" taken, "0" not within them; false when the
// statement failed (the error kept by the session).
bool GetLock(ServerSession& session, const std::string& name, unsigned seconds, std::string* got) {
  return session.Value(
      "SELECT GET_LOCK(" + Quoted(session, name) + ", " + std::to_string(seconds) + ")", got);
}

}  // namespace

RunLock::RunLock(const std::string& database) : database_(database) {
  // A name too long for the server is replaced by its digest.
  name_ = kPrefix + database;
  if (name_.size() > kMaxName) name_ = kPrefix + Digest(database);
  slot_base_ = name_ + "#";
  if (slot_base_.size() + 2 > kMaxName) slot_base_ = kPrefix + Digest(database) + "#";
}

std::string RunLock::SlotName(unsigned slot) const { return slot_base_ + std::to_string(slot); }

std::string RunLock::StoppedReason() const {
  return "another run took the lock of database " + database_ +
         " after the connection holding it was lost; this run stops";
}

bool RunLock::Take(ServerSession& session, unsigned seconds, std::string* why) {
  const double deadline = Now() + seconds;
  // Waiting changes nothing: a signal ends it at once.
  const EndAtOnce at_once("while waiting for another run");
  std::string got;
  bool asked = GetLock(session, name_, std::min(seconds, 1u), &got);
  if (asked && got == "0" && seconds > 1) {
    Warn("another run is loading database " + database_ + "; waiting for it (at most " +
         std::to_string(seconds) + " s, --lock-wait)");
    asked = GetLock(session, name_, SecondsLeft(deadline), &got);
  }
  if (!asked) {
    *why = "the lock of database " + database_ + " cannot be taken: " + session.Error();
    return false;
  }
  if (got != "1") {
    *why = "another run held the lock of database " + database_ + " for " +
           std::to_string(seconds) + " s (--lock-wait); nothing was changed";
    return false;
  }
  if (!AwaitSlots(session, deadline, why)) return false;
  // A connection of the earlier run made again meanwhile may hold a slot
  // for a moment: it finds the lock taken, and stops without writing.
  if (!GetLock(session, SlotName(0), SecondsLeft(deadline), &got)) {
    *why = "the lock " + SlotName(0) + " cannot be taken: " + session.Error();
    return false;
  }
  if (got != "1") {
    *why = "connections of an earlier run still wrote to database " + database_ +
           " at the end of --lock-wait; nothing was changed";
    return false;
  }
  MutexLock lock(mutex_);
  holder_ = session.ThreadId();
  return true;
}

bool RunLock::AwaitSlots(ServerSession& session, double deadline, std::string* why) {
  // One query finds the slots in use; nearly always none.
  std::string query = "SELECT CONCAT_WS(','";
  for (unsigned slot = 0; slot < kSlots; ++slot)
    query += ", IF(IS_FREE_LOCK(" + Quoted(session, SlotName(slot)) + "), NULL, " +
             std::to_string(slot) + ")";
  query += ")";
  std::string used;
  if (!session.Value(query, &used)) {
    *why = "the locks of database " + database_ + " cannot be read: " + session.Error();
    return false;
  }
  if (used.empty()) return true;
  Warn("connections of an earlier run still write to database " + database_ +
       "; waiting for them to end (at most " + std::to_string(SecondsLeft(deadline)) +
       " s, --lock-wait)");
  for (std::size_t at = 0; at < used.size();) {
    std::size_t end = used.find(',', at);
    if (end == std::string::npos) end = used.size();
    const std::string slot = SlotName(static_cast<unsigned>(std::stoul(used.substr(at, end - at))));
    at = end + 1;
    std::string got;
    if (!GetLock(session, slot, SecondsLeft(deadline), &got)) {
      *why = "the locks of database " + database_ + " cannot be taken: " + session.Error();
      return false;
    }
    if (got != "1") {
      *why = "connections of an earlier run still wrote to database " + database_ +
             " at the end of --lock-wait; nothing was changed";
      return false;
    }
    session.Quietly("DO RELEASE_LOCK(" + Quoted(session, slot) + ")");
  }
  return true;
}

bool RunLock::Keep(ServerSession& session, unsigned slot, bool* slot_held, std::string* why) {
  // A lock still held by this connection's own lost predecessor goes as
  // soon as the server has ended it (a killed connection goes at once, a
  // dropped link once the server notices): that one is waited for.
  const unsigned wait = session.load().lock_wait_seconds;
  const unsigned long lost = session.PreviousThreadId();
  const auto lost_holds = [&](const std::string& name, std::string* holder) {
    return session.Value("SELECT IS_USED_LOCK(" + Quoted(session, name) + ")", holder) &&
           lost != 0 && *holder == std::to_string(lost);
  };
  std::string got, holder;
  if (!*slot_held) {
    // Free unless another run's connection has it.
    const std::string name = SlotName(slot);
    bool asked = GetLock(session, name, 0, &got);
    if (asked && got == "0" && lost_holds(name, &holder))
      asked = GetLock(session, name, wait, &got);
    if (!asked) {
      *why = "the lock " + name + " cannot be taken: " + session.Error();
      return false;
    }
    if (got != "1") {
      // Only another run's connection takes a slot of this run's.
      MutexLock lock(mutex_);
      if (stopped_.empty()) stopped_ = StoppedReason();
      *why = stopped_;
      return false;
    }
    *slot_held = true;
  }
  // The other run waits for this connection's slot: it goes at once.
  const auto stop = [&](const std::string& reason) {
    *why = reason;
    session.Quietly("DO RELEASE_LOCK(" + Quoted(session, SlotName(slot)) + ")");
    *slot_held = false;
    TestPause("slot-released", std::to_string(slot));
    return false;
  };
  MutexLock lock(mutex_);
  if (!stopped_.empty()) return stop(stopped_);
  const unsigned long id = session.ThreadId();
  if (id == holder_) return true;
  const bool lost_holder = lost_holds(name_, &holder);
  if (holder == std::to_string(holder_) && !lost_holder) return true;
  // The holder was lost: this connection holds the lock for the run now,
  // unless another run took it meanwhile.
  if (holder.empty() || lost_holder) {
    if (!GetLock(session, name_, holder.empty() ? 0 : wait, &got)) {
      *why = "the lock of database " + database_ + " cannot be taken: " + session.Error();
      return false;
    }
    if (got == "1") {
      Warn("the lock of database " + database_ +
           " went with a lost connection; the run took it again");
      holder_ = id;
      return true;
    }
  }
  stopped_ = StoppedReason();
  return stop(stopped_);
}

namespace {

constexpr char kClusterTable[] = "vesk_dbc2sql";

bool OnCluster(ServerSession& session) {
  std::string on;
  return session.Value(
             "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_VARIABLES WHERE "
             "VARIABLE_NAME = 'WSREP_ON'",
             &on) &&
         on == "ON";
}

}  // namespace

bool RunLock::TakeCluster(ServerSession& session, const std::string& run_id, unsigned seconds,
                          std::string* why) {
  if (!OnCluster(session)) return true;
  const double deadline = Now() + seconds;
  const std::string table = std::string("`") + kClusterTable + "`";
  if (!session.Query("CREATE TABLE IF NOT EXISTS " + table +
                     " (name VARCHAR(16) NOT NULL PRIMARY KEY, run VARCHAR(16) NOT NULL, "
                     "node VARCHAR(64) NOT NULL, renewed BIGINT NOT NULL) ENGINE=InnoDB "
                     "COMMENT='vesk-dbc2sql: the run loading this database on a cluster'")) {
    *why = "the table " + std::string(kClusterTable) + " cannot be made: " + session.Error();
    return false;
  }
  const EndAtOnce at_once("while waiting for another run");
  bool said = false;
  for (;;) {
    // A row not renewed for kStale seconds is a killed run's.
    session.Quietly("DELETE FROM " + table +
                    " WHERE name = 'run' AND renewed < UNIX_TIMESTAMP() - " +
                    std::to_string(kStale));
    if (session.Query("INSERT INTO " + table + " VALUES ('run', '" + run_id +
                      "', @@hostname, UNIX_TIMESTAMP())")) {
      MutexLock lock(mutex_);
      cluster_run_ = run_id;
      return true;
    }
    // Held by another run (1062), or another node's insert won the
    // certification (1213): wait.
    if (session.ErrorCode() != 1062 && session.ErrorCode() != 1213) {
      *why = "the table " + std::string(kClusterTable) + " cannot be written: " + session.Error();
      return false;
    }
    std::string node;
    if (!said) session.Value("SELECT node FROM " + table + " WHERE name = 'run'", &node);
    if (!WaitForCluster(deadline, seconds, node, &said, why)) return false;
  }
}

bool RunLock::WaitForCluster(double deadline, unsigned seconds, const std::string& node, bool* said,
                             std::string* why) const {
  if (Now() >= deadline) {
    *why = "another run held the lock of database " + database_ + " on the cluster for " +
           std::to_string(seconds) + " s (--lock-wait); nothing was changed";
    return false;
  }
  if (!*said) {
    Warn("another run is loading database " + database_ + " through node " + node +
         " of the cluster; waiting for it (at most " + std::to_string(seconds) +
         " s, --lock-wait)");
    *said = true;
    TestPause("cluster-wait");
  }
  ::poll(nullptr, 0, 500);
  return true;
}

void RunLock::RenewCluster(ServerSession& session) {
  std::string run;
  {
    MutexLock lock(mutex_);
    run = cluster_run_;
  }
  if (!run.empty())
    session.Quietly(std::string("UPDATE `") + kClusterTable +
                    "` SET renewed = UNIX_TIMESTAMP() WHERE name = 'run' AND run = '" + run + "'");
}

void RunLock::ReleaseCluster(ServerSession& session) {
  std::string run;
  {
    MutexLock lock(mutex_);
    run.swap(cluster_run_);
  }
  if (!run.empty())
    session.Quietly(std::string("DELETE FROM `") + kClusterTable +
                    "` WHERE name = 'run' AND run = '" + run + "'");
}

bool RunLock::AwaitCluster(ServerSession& session, unsigned seconds, std::string* why) {
  if (!OnCluster(session)) return true;
  const double deadline = Now() + seconds;
  const EndAtOnce at_once("while waiting for another run");
  bool said = false;
  for (;;) {
    std::string node;
    // (No table: no run ever loaded this database through a cluster.)
    if (!session.Value(std::string("SELECT node FROM `") + kClusterTable +
                           "` WHERE name = 'run' AND renewed >= UNIX_TIMESTAMP() - " +
                           std::to_string(kStale),
                       &node) ||
        node.empty())
      return true;
    if (!WaitForCluster(deadline, seconds, node, &said, why)) return false;
  }
}
