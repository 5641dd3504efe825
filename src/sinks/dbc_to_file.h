// The SQL script sink: appends every statement to a file, through a
// ScriptRing (rows built on two threads, written on a third). A failed
// write, flush or close is reported once, naming the file and the system's
// reason; from then on Write() refuses statements, so the current table's
// rows stop and the run ends with a failure status.
//
// A regular file is not written in place: the script goes to a temporary
// file in the target's folder, which replaces the target only once all of it
// was written, flushed to the disk and closed without error. A failed or
// interrupted run removes the temporary file and leaves an existing target
// as it was; two runs on one path each rename a complete script. Devices,
// FIFOs and sockets (by what the file is, not by its path) are written
// directly, and so is a regular file
// that a rename cannot replace (no temporary file can be made in its
// folder, a mount point, another user's file in a sticky folder), after a
// warning on standard error.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "dbc/dbcfile.h"
#include "port/durable_file.h"
#include "sinks/script_ring.h"
#include "sql/row_output.h"

class dbcToFILE : public DBCFile {
 public:
  dbcToFILE() { SetRowOutput(&rows_); }
  ~dbcToFILE() override;

  // Creates (or replaces) the file. Prints "Create SQL file <path>: " and
  // "ok" or "ERROR", the reason of an error on standard error. Refuses a
  // path that names one of the client files `inputs` (catalogue paths).
  // With `fd` (standard output, taken over for the script) the script is
  // written there, and `path` only names it.
  bool Open(const char* path, std::span<const char* const> inputs = {}, int fd = -1);

  bool Write(const char* text) override;
  void Close() override;
  // False once a write failed: the run ends, as nothing more can be written.
  bool Ready() override;
  std::string Abandon(bool new_output_too) override;
  // (While the script is written: the bytes given to it so far.)
  std::uint64_t BytesWritten() const override { return ring_ ? ring_->given() : bytes_; }

 private:
  // A table's rows, built on two threads into the ring.
  class Rows : public RowOutput {
   public:
    explicit Rows(dbcToFILE& file) : file_(file) {}
    void BeginRows(const LoadedTable& table, StatementBuilder& builder, bool new_table) override;
    RowsSent SendRows(std::uint32_t first) override;

   private:
    dbcToFILE& file_;
  };

  // Opens the script's file; *warning says why a regular file is written
  // in place.
  bool OpenOutput(const char* path, std::string* reason, std::string* warning);
  void Fail(const char* what, int error);

  int fd_ = -1;
  bool failed_ = false;
  bool replaces_ = false;    // the target existed before the run
  bool discard_ = false;     // the script is not to replace the target
  std::string path_;         // as given on the command line
  bool durable_ = false;     // the script goes in place of the target whole
  DurableFile file_;         // ... and this is its new file
  std::uint64_t bytes_ = 0;  // handed to the writer, kept once the ring is gone
  std::unique_ptr<ScriptRing> ring_;
  Rows rows_{*this};
};
