// A reader whose client files are bytes held in memory, by catalogue path,
// and whose output takes every statement. Lets the tests and the fuzz
// harness load and export tables, the merged rating table included, without
// a client folder or a change of the working directory.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include "dbc/dbcfile.h"

class MemoryClient : public DBCFile {
 public:
  // Client files by catalogue path ("dbc\\Spell.dbc").
  std::map<std::string, std::string> files;
  // Every statement written, when `keep` is set.
  bool keep = false;
  std::string written;

  bool Write(const char* text) override {
    if (keep) written += text;
    return true;
  }

 protected:
  bool ReadTable(const TableDescriptor* descriptor, std::string* reason) override {
    const auto file = files.find(descriptor->file_path);
    if (file != files.end()) return AcceptBytes(descriptor, file->second, reason);
    *reason = std::string(descriptor->file_path) + " not exist";
    return false;
  }
};
