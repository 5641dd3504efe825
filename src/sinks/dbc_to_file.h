// The SQL script sink: appends every statement to a file, through a
// ScriptRing (rows built on two threads, written on a third). A failed
// write, flush or close is reported once, naming the file and the system's
// reason; from then on Write() refuses statements, so the current table's
// rows stop and the run ends with a failure status.
//
// A regular file is never written in place: the script goes to a temporary
// file in the target's folder, which replaces the target only once all of it
// was written and closed without error. An interrupted or failed run (or
// SIGINT, SIGTERM, SIGHUP) removes the temporary file and leaves an existing
// target as it was; two runs on one path each rename a complete script.
// Devices, FIFOs and /proc entries are written directly.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "dbc/dbcfile.h"
#include "sinks/script_ring.h"

class dbcToFILE : public DBCFile {
 public:
  dbcToFILE() = default;
  ~dbcToFILE() override;

  // Creates (or replaces) the file. Prints "Create SQL file <path>: " and
  // "ok" or "ERROR", the reason of an error on standard error. Refuses a
  // path that names one of the client files `inputs` (catalogue paths).
  bool Open(const char* path, std::span<const char* const> inputs = {});

  bool Write(const char* text) override;
  void Close() override;
  std::uint64_t BytesWritten() const override { return ring_ ? ring_->bytes() : bytes_; }

 protected:
  RowsSent SendRows(std::uint32_t first) override;

 private:
  bool OpenOutput(const char* path, std::string* reason);
  void Fail(const char* what, int error);

  int fd_ = -1;
  bool failed_ = false;
  std::string path_;         // as given on the command line
  std::string target_;       // the file the temporary one replaces
  std::string temporary_;    // empty when writing directly
  std::uint64_t bytes_ = 0;  // handed to the writer, kept once the ring is gone
  std::unique_ptr<ScriptRing> ring_;
};
