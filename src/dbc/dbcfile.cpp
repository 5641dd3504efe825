#include "dbc/dbcfile.h"

#include <cstdio>
#include <string>

#include "dbc/dbc_format.h"
#include "port/console.h"

bool DBCFile::Write(const char*) { return false; }

void DBCFile::Close() {}

const DBCFile::Fault& DBCFile::FaultAt(unsigned n) const {
  static const Fault none;
  return n < faults_.size() ? faults_[n] : none;
}

void DBCFile::Report(const std::string& reason) {
  if (console_ != Console::kNothing) std::fprintf(ConsoleOut(), "%s\n", reason.c_str());
  CountFault(reason);
}

void DBCFile::Unload() {
  helper_.Wait();
  table_.Unload();
  // Tables side by side: no block is kept between them.
  if (forget_behind_) table_.ReleaseSpare();
  table_rows_ = 0;
  rows_cut_ = false;
}

bool DBCFile::Load(const TableDescriptor* descriptor) {
  table_.Unload();
  table_rows_ = 0;
  rows_cut_ = false;
  if (console_ == Console::kAll)
    std::fprintf(ConsoleOut(), "Open DBC file: %s\n", descriptor->file_path);
  std::string reason;
  if (table_.Read(descriptor, *files_, helper_, &reason)) {
    if (forget_behind_) table_.ForgetAll();
    return true;
  }
  Report(reason);
  return false;
}

void DBCFile::SetLocale(int index) {
  const std::uint32_t slot = (index >= 0 && index < static_cast<int>(kLocaleCount))
                                 ? static_cast<std::uint32_t>(index)
                                 : 0;
  table_.SetLocale(slot);
  if (console_ != Console::kNothing)
    std::fprintf(ConsoleOut(), "Change locale to: %s\n", kLocaleNames[slot]);
}
