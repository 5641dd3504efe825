// A run that reads the database (--verify, --write-dbc): one session, set
// up as a load's but reading texts as stored, with the database selected
// once no load of it is in progress (here or through another node of a
// cluster); a reader of the client files at the run's locale; and a signal
// that ends a read blocked on the server at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/modes.h"
#include "dbc/dbcfile.h"
#include "port/interrupt.h"
#include "server/server_session.h"

class ReadingRun {
 public:
  explicit ReadingRun(RunContext& run);

  // Connects; false, with why, when that fails. Without a client folder
  // there is nothing to compare with: no connection is made.
  bool Connect(std::string* why);

  // Sets the reader to the slot `table` is to be read at: the one its
  // record names, or -l's (auto: the slot with its texts) for a table
  // without one. False, with why, when -l names another slot than the
  // record (unless --replace-edited).
  bool ChooseSlot(const TableDescriptor& table, std::string* why);

  // Disconnects and reports the end: exit status 0 when `ok`, 1
  // otherwise, 128 + N when signal N stopped the run; the `last` lines
  // end the console. Returns the status.
  int Finish(bool ok, const std::vector<std::string>& last = {});

  ServerSession session;
  DBCFile reader;

 private:
  // Connects, sets up the session, waits for a load in progress and selects
  // the database; why that failed, or "".
  std::string Open();

  RunContext& run_;
  InterruptGuard interrupts_;  // in place before the session connects
  std::optional<AbortSocketOnInterrupt> abort_;
};
