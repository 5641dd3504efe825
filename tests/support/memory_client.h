// Client files held in memory, by catalogue path, and a reader that reads
// them and whose output takes every statement. Lets the tests and the fuzz
// harness load and export tables, the merged rating table included, without
// a client folder or a change of the working directory.
#pragma once

#include <map>
#include <string>

#include "dbc/client_files.h"
#include "dbc/dbcfile.h"
#include "dbc/loaded_table.h"

class MemoryFiles : public ClientFiles {
 public:
  // Client files by catalogue path ("dbc\\Spell.dbc").
  std::map<std::string, std::string> files;

  bool Open(const char* path, std::unique_ptr<TableSource>* source, Fault* fault) override {
    const auto file = files.find(path);
    if (file == files.end()) {
      *fault = {FaultKind::kMissing, std::string(path) + " not exist", path};
      return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file->second.data());
    *source = std::make_unique<MemorySource>(bytes, file->second.size());
    return true;
  }
};

// Loads `bytes` as the client file of `table` into `reader`, with the
// console lines of a load from disk; the reader reads from disk again
// afterwards.
inline bool LoadBytes(DBCFile& reader, const TableDescriptor* table, const std::string& bytes) {
  MemoryFiles one;
  one.files[table->file_path] = bytes;
  reader.SetClientFiles(&one);
  const bool loaded = reader.Load(table);
  reader.SetClientFiles(&DiskClientFiles::Instance());
  return loaded;
}

// Reads `bytes` as the client file of `table` into `loaded`, as a load from
// disk would check them; false, with the reason (and its kind), when they
// are refused.
inline bool ReadBytes(LoadedTable& loaded, const TableDescriptor& table, const std::string& bytes,
                      std::string* why, FaultKind* kind = nullptr) {
  MemoryFiles one;
  one.files[table.file_path] = bytes;
  HelperThread helper;
  Fault fault;
  const bool read = loaded.Read(&table, one, helper, &fault);
  *why = fault.reason;
  if (kind) *kind = fault.kind;
  return read;
}

class MemoryClient : public DBCFile {
 public:
  MemoryClient() { SetClientFiles(&memory); }
  MemoryFiles memory;
  // Every statement written, when `keep` is set.
  bool keep = false;
  std::string written;

  bool Write(const char* text) override {
    if (keep) written += text;
    return true;
  }
};
