// The lock that keeps two runs of the tool off one database, for as long as
// any connection of a run may write to it.
//
// The database's named lock (GET_LOCK) is held by one connection of the
// run, the holder. Beside it every connection holds a slot lock of its own,
// numbered after the connection ("<lock>#<n>"). A run that takes the
// database's lock then waits until no slot lock is held: the connections of
// an earlier run whose holder was lost (killed, its link dropped, which
// frees the database's lock at once) go on writing their tables in flight,
// and a second run starts only once the last of them has ended.
//
// Before each table, and after connecting again, a connection checks that
// the run still holds the database's lock (Keep). When the holder was lost
// and nobody holds it, that connection takes it over; when another run has
// taken it meanwhile, the run stops there: its connections end with their
// tables in flight, and the other run goes on once they have.
//
// Named locks are a server's own: the nodes of a Galera cluster each have
// theirs. On a cluster node (wsrep_on) the run also holds a row of the
// tool's table vesk_dbc2sql in the database, which the cluster replicates
// and certifies: of two runs into two nodes, one inserts it, the other finds
// it there (or loses the certification) and waits. The row carries the time
// of the run's last table; one not renewed for kStale seconds is a killed
// run's, and is taken over.
//
// Thread-safe: the connections of a run share one RunLock, each calling it
// from its own thread with its own session.
#pragma once

#include <atomic>
#include <string>

#include "port/mutex.h"

class ServerSession;

class RunLock {
 public:
  // The run's connections are numbered from 0 (the first) to kSlots - 1:
  // --parallel's maximum.
  static constexpr unsigned kSlots = 64;

  explicit RunLock(const std::string& database);
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // The first connection, before anything is changed: waits at most
  // `seconds` for the database's lock and for the connections of an earlier
  // run to end (saying so on standard error), then takes slot 0. A signal
  // ends the wait, and the process, at once. False, with the reason.
  bool Take(ServerSession& session, unsigned seconds, std::string* why) EXCLUDES(mutex_);
  // Connection `slot`, before each table: takes its slot lock when its
  // connection does not hold it yet (*slot_held, which the caller clears
  // when the connection is made again), and makes sure the run holds the
  // database's lock, taking it over from a holder that was lost. False,
  // with the reason, when another run has it: the run stops.
  bool Keep(ServerSession& session, unsigned slot, bool* slot_held, std::string* why)
      EXCLUDES(mutex_);

  // On a Galera cluster node, after Take() and with the database selected:
  // waits at most `seconds` for a run into another node to end, then holds
  // the cluster's row for the run `run_id`. True at once elsewhere.
  bool TakeCluster(ServerSession& session, const std::string& run_id, unsigned seconds,
                   std::string* why);
  // On a Galera cluster node, with the database selected, for a run that
  // only reads: waits at most `seconds` while a load holds the cluster's
  // row. True at once elsewhere.
  bool AwaitCluster(ServerSession& session, unsigned seconds, std::string* why);
  // Renews the cluster's row (before each table); lets it go at the end.
  void RenewCluster(ServerSession& session);
  void ReleaseCluster(ServerSession& session);

  static constexpr int kStale = 120;

  // The names of the database's lock and of a slot's (at most 64
  // characters, as the server wants them).
  const std::string& name() const { return name_; }
  std::string SlotName(unsigned slot) const;

 private:
  // Waits until no slot lock is held, at most until `deadline` (seconds of
  // the monotonic clock).
  bool AwaitSlots(ServerSession& session, double deadline, std::string* why);
  // One turn of waiting for a cluster's row held through `node`: false,
  // with the reason, once `deadline` has passed; says the wait once.
  bool WaitForCluster(double deadline, unsigned seconds, const std::string& node, bool* said,
                      std::string* why) const;
  // Why the run stops once another run has its lock.
  std::string StoppedReason() const;

  const std::string database_;
  std::string name_;       // the database's lock
  std::string slot_base_;  // "<name>#" or, for a long name, its digest's
  Mutex mutex_;
  // The server's id of the connection holding the database's lock.
  unsigned long holder_ GUARDED_BY(mutex_) = 0;
  // Why the run stopped, once another run took its lock.
  std::string stopped_ GUARDED_BY(mutex_);
  // The run whose row of the cluster this run holds ("" for none).
  std::string cluster_run_ GUARDED_BY(mutex_);
};
