// Where the reader gets the bytes of a client file: the client folder on
// disk (DiskClientFiles), the client's archives (client_archives.h), or, in
// tests and the fuzz harness, files held in memory. DBCFile is given one; it reads whatever the
// source hands it and checks every byte itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "dbc/fault.h"
#include "port/table_buffer.h"

// The bytes of one client file. Read() continues where the last read ended
// and returns fewer bytes only at the end (or on a read error).
class TableSource {
 public:
  virtual ~TableSource() = default;
  virtual std::size_t Size() const = 0;
  virtual std::size_t Read(std::uint8_t* out, std::size_t n) = 0;
  // The bytes from `offset` to the end, mapped where they can be: empty
  // otherwise, and then they are read.
  virtual TableBuffer Map(std::size_t) { return {}; }
  // The system's error number of a read that failed, 0 when none did.
  virtual int Error() const { return 0; }
};

// Bytes held by someone else, read by copying.
class MemorySource : public TableSource {
 public:
  MemorySource(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  std::size_t Size() const override { return size_; }
  std::size_t Read(std::uint8_t* out, std::size_t n) override;

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t at_ = 0;
};

class ClientFiles {
 public:
  virtual ~ClientFiles() = default;
  // Opens the client file at a catalogue path ("dbc\Spell.dbc"). False,
  // with the fault (its console line "dbc\Spell.dbc not exist"), when it
  // cannot be read.
  virtual bool Open(const char* catalogue_path, std::unique_ptr<TableSource>* source,
                    Fault* fault) = 0;
  // The archive that holds the client file, or "" when it is read from a
  // folder (or not found).
  virtual std::string SourceOf(const char*) { return ""; }
  // The client file's bytes, 0 when it is not there.
  virtual std::uint64_t SizeOf(const char*) { return 0; }

  // Where the run's readers get their client files: the client folder on
  // disk unless set (once, before any reader is made).
  static ClientFiles& Active();
  static void SetActive(ClientFiles* files);
};

// The client folder below the working directory, names matched ignoring
// case (see host_path.h); large files are mapped.
class DiskClientFiles : public ClientFiles {
 public:
  static DiskClientFiles& Instance();
  bool Open(const char* catalogue_path, std::unique_ptr<TableSource>* source,
            Fault* fault) override;
  std::uint64_t SizeOf(const char* catalogue_path) override;
};
