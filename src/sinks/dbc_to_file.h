// The SQL script sink: appends every statement to a file, through a large
// buffer. A failed write, flush or close is reported once, naming the file
// and the system's reason; from then on Write() refuses statements, so the
// current table's rows stop and the run ends with a failure status.
#pragma once

#include <memory>
#include <string>

#include "dbc/dbcfile.h"

class dbcToFILE : public DBCFile {
 public:
  dbcToFILE() = default;
  ~dbcToFILE() override;

  // Creates (or truncates) the file. Prints "Create SQL file <path>: " and
  // "ok" or "ERROR".
  bool Open(const char* path);

  bool Write(const char* text) override;
  void Close() override;

 private:
  bool Flush();
  void Fail(const char* what, int error);

  static constexpr std::size_t kBufferSize = 1 << 20;

  int fd_ = -1;
  bool failed_ = false;
  std::string path_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};
