#include "dbc/dbcfile.h"

#include <cstdio>
#include <string>
#include <utility>

#include "dbc/dbc_format.h"
#include "port/console.h"

bool DBCFile::Write(const char*) { return false; }

void DBCFile::Close() {}

const DBCFile::Fault& DBCFile::FaultAt(unsigned n) const {
  static const Fault none;
  return n < faults_.size() ? faults_[n] : none;
}

void DBCFile::Report(Fault fault) {
  if (console_ != Console::kNothing) std::fprintf(ConsoleOut(), "%s\n", fault.reason.c_str());
  CountFault(std::move(fault));
}

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kMissing: return "missing";
    case FaultKind::kAmbiguous: return "ambiguous";
    case FaultKind::kUnreadable: return "unreadable";
    case FaultKind::kBadHeader: return "bad_header";
    case FaultKind::kWrongFieldCount: return "wrong_field_count";
    case FaultKind::kBadOffset: return "bad_offset";
    case FaultKind::kChanged: return "changed";
    case FaultKind::kRefused: return "refused";
    case FaultKind::kOutput: return "output";
    case FaultKind::kInterrupted: return "interrupted";
    case FaultKind::kEdited: return "edited";
    case FaultKind::kOther: break;
  }
  return "other";
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
  Fault fault;
  if (table_.Read(descriptor, *files_, helper_, &fault)) {
    if (forget_behind_) table_.ForgetAll();
    if (table_.AutoLocale() && table_.HasLocalizedTexts() && console_ != Console::kNothing)
      std::fprintf(ConsoleOut(), "Change locale to: %s\n", kLocaleNames[table_.Locale()]);
    return true;
  }
  Report(std::move(fault));
  return false;
}

void DBCFile::SetAutoLocale() { table_.SetAutoLocale(); }

void DBCFile::SetLocale(int index) {
  const std::uint32_t slot = (index >= 0 && index < static_cast<int>(kLocaleCount))
                                 ? static_cast<std::uint32_t>(index)
                                 : 0;
  table_.SetLocale(slot);
  if (console_ != Console::kNothing)
    std::fprintf(ConsoleOut(), "Change locale to: %s\n", kLocaleNames[slot]);
}
