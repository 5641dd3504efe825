// Why a table, or a run, did not get what it should: a kind that the
// summary and the run report group and name by, the one-line reason the
// console prints, the client file it names and the server's error number.
// The kind and the file are fields, so that nothing downstream needs to read
// them back out of the reason's words.
#pragma once

#include <cstdint>
#include <string>

enum class FaultKind : std::uint8_t {
  kOther,
  kMissing,          // a client file that is not there
  kAmbiguous,        // a client file found under two names
  kUnreadable,       // a client file the system would not read whole
  kBadHeader,        // a header no client file has, or one the file is too short for
  kWrongFieldCount,  // a header of another client version
  kBadOffset,        // a text offset outside the string block
  kChanged,          // a client file changed while it was read
  kRefused,          // the server refused a statement (code: its error number)
  kOutput,           // the output could not be opened, written or kept
  kInterrupted,      // a signal stopped it
  kEdited,           // changed on the server since it was loaded: kept
};

// The kind's name in the run report ("wrong_field_count").
const char* FaultKindName(FaultKind kind);

struct Fault {
  FaultKind kind = FaultKind::kOther;
  std::string reason{};      // the console's line ("dbc\Spell.dbc not exist")
  std::string file{};        // the client file the reason starts with, or empty
  unsigned code = 0;         // the server's (or client library's) error number, or 0
  bool output_kept = false;  // the output is whole; something beside it failed

  // The reason after the file it names ("not exist"), or the whole reason.
  std::string WithoutFile() const {
    return file.empty() || reason.compare(0, file.size(), file) != 0
               ? reason
               : reason.substr(std::min(reason.size(), file.size() + 1));
  }
};
