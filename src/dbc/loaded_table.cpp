#include "dbc/loaded_table.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dbc/content_digest.h"
#include "dbc/dbc_format.h"
#include "dbc/utf8.h"

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  std::string line(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, args)), '\0');
  std::vsnprintf(line.data(), line.size() + 1, format, again);
  va_end(again);
  va_end(args);
  return line;
}

const char* BaseName(const char* s, std::size_t length) {
  for (std::size_t i = length > 0 ? length - 1 : 0; i > 0; --i)
    if (s[i - 1] == '\\') return s + i;
  return s;
}

namespace {

// "<path> is truncated: its header needs N bytes, the file has M".
std::string Truncated(const char* path, std::uint64_t needed, std::uint64_t has) {
  return Format("%s is truncated: its header needs %llu bytes, the file has %llu", path,
                static_cast<unsigned long long>(needed), static_cast<unsigned long long>(has));
}

// Sets the fault of the client file `path`; returns false.
bool Failed(FaultKind kind, const char* path, std::string reason, Fault* fault) {
  *fault = {kind, std::move(reason), path};
  return false;
}

// "<path> cannot be read: <the system's reason>"; returns false.
bool ReadError(const char* path, int error, Fault* fault) {
  return Failed(FaultKind::kUnreadable, path,
                Format("%s cannot be read: %s", path, std::strerror(error)), fault);
}

}  // namespace

bool LoadedTable::Read(const TableDescriptor* descriptor, ClientFiles& files, HelperThread& helper,
                       Fault* fault) {
  Unload();
  std::unique_ptr<TableSource> source;
  if (files.Open(descriptor->file_path, &source, fault) &&
      Accept(descriptor, *source, helper, fault)) {
    ++generation_;
    return true;
  }
  Unload();
  return false;
}

void LoadedTable::Adopt(const TableDescriptor* descriptor, TableBuffer block, std::uint32_t records,
                        std::uint32_t fields) {
  Unload();
  data_ = std::move(block);
  descriptor_ = descriptor;
  record_count_ = records;
  field_count_ = fields;
  record_size_ = 4 * fields;
  string_size_ = 0;
  file_size_ = std::uint64_t{records} * record_size_;
  digest_ = keep_digests_ ? ComputeDigest() : "";
  // No column reads the string block: it starts at the end of the records.
  strings_ = reinterpret_cast<const char*>(data_.get() + std::size_t{records} * record_size_);
  PrepareSteps();
  ++generation_;
}

void LoadedTable::PrepareSteps() {
  const TableDescriptor& table = *descriptor_;
  steps_.clear();
  string_fields_.clear();
  std::uint32_t field = 0;
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const char type = table.columns[c].type;
    if (IsExported(type)) {
      steps_.push_back({type, field + (type == 's' ? locale_ : 0)});
      if (IsString(type)) string_fields_.push_back(steps_.back().field);
    }
    field += FieldWidth(type);
  }
}

void LoadedTable::Unload() {
  // The largest block so far is kept for the next table: its pages are
  // already faulted in, which a fresh block's are not.
  if (data_.get() && !data_.IsFileMapping() && data_.size() > spare_.size())
    spare_ = std::move(data_);
  data_.reset();
  strings_ = nullptr;
}

TableBuffer LoadedTable::TakeBuffer(std::size_t size) {
  if (spare_.get() && spare_.size() >= size) return std::move(spare_);
  spare_.reset();  // never two large blocks at once
  // One block serves every file too small to be mapped.
  return TableBuffer::Allocate(std::max(size, TableBuffer::kMapThreshold));
}

bool LoadedTable::Accept(const TableDescriptor* descriptor, TableSource& source,
                         HelperThread& helper, Fault* fault) {
  const char* path = descriptor->file_path;
  std::uint8_t header_bytes[kDbcHeaderSize];
  const std::size_t header_read = source.Read(header_bytes, kDbcHeaderSize);
  if (source.Error()) return ReadError(path, source.Error(), fault);
  DbcHeader header;
  switch (ParseDbcHeader(header_bytes, header_read, &header)) {
    case HeaderParse::kNotDbc:
      return Failed(FaultKind::kBadHeader, path, Format("%s not dbc file", path), fault);
    case HeaderParse::kTruncated:
      return Failed(FaultKind::kBadHeader, path, Truncated(path, kDbcHeaderSize, header_read),
                    fault);
    case HeaderParse::kOk: break;
  }
  record_count_ = header.record_count;
  field_count_ = header.field_count;
  record_size_ = header.record_size;
  string_size_ = header.string_size;
  descriptor_ = descriptor;
  file_size_ = source.Size();
  if (!CheckHeader(path, source.Size(), fault)) return false;

  // Records and string block in one block: a large file's own pages where
  // it can be mapped, read with one call otherwise.
  const std::size_t records_size = std::size_t{record_size_} * record_count_;
  const std::size_t size = records_size + string_size_;
  TableBuffer data;
  if (size >= TableBuffer::kMapThreshold) data = source.Map(kDbcHeaderSize);
  if (data.get()) {
    if (spare_.size() > TableBuffer::kMapThreshold) spare_.reset();  // never two large blocks
  } else {
    data = TakeBuffer(size);
    if (!data.get()) {
      return Failed(FaultKind::kUnreadable, path,
                    Format("%s is too large: %zu bytes cannot be allocated", path, size), fault);
    }
    const std::size_t got = source.Read(data.get(), size);
    if (source.Error()) return ReadError(path, source.Error(), fault);
    if (got != size)
      return Failed(FaultKind::kBadHeader, path,
                    Truncated(path, kDbcHeaderSize + size, kDbcHeaderSize + got), fault);
  }
  data_ = std::move(data);
  strings_ = reinterpret_cast<const char*>(data_.get() + records_size);
  if (auto_locale_) locale_ = FullestSlot();
  digest_ = keep_digests_ ? ComputeDigest() : "";
  PrepareSteps();
  return CheckStrings(path, helper, fault);
}

bool LoadedTable::CheckHeader(const char* path, std::size_t file_size, Fault* fault) const {
  const std::uint32_t expected = ExpectedFieldCount(*descriptor_);
  if (field_count_ != expected) {
    return Failed(FaultKind::kWrongFieldCount, path,
                  Format("%s have wrong field Count (%d), must be %d", path,
                         static_cast<int>(field_count_), static_cast<int>(expected)),
                  fault);
  }
  const std::uint64_t min_record = std::uint64_t{4} * expected;
  if (record_size_ < min_record) {
    return Failed(FaultKind::kBadHeader, path,
                  Format("%s have wrong record Size (%u), must be at least %llu", path,
                         record_size_, static_cast<unsigned long long>(min_record)),
                  fault);
  }
  // 32-bit values: the product and sum cannot overflow 64 bits.
  const std::uint64_t needed =
      kDbcHeaderSize + std::uint64_t{record_size_} * record_count_ + string_size_;
  if (needed > file_size)
    return Failed(FaultKind::kBadHeader, path, Truncated(path, needed, file_size), fault);
  return true;
}

bool LoadedTable::CheckStrings(const char* path, HelperThread& helper, Fault* fault) {
  // A string is readable when it starts inside the block and a NUL follows
  // it inside the block, that is when it starts at or before the last NUL.
  const void* last = string_size_ ? ::memrchr(strings_, 0, string_size_) : nullptr;
  const std::uint64_t readable_end =
      last ? static_cast<std::uint64_t>(static_cast<const char*>(last) - strings_) + 1 : 0;
  // A large table is checked in two halves at once; the first bad record
  // is the one reported.
  constexpr std::uint32_t kSplitAbove = 4096;
  const std::uint32_t middle = record_count_ > kSplitAbove ? record_count_ / 2 : record_count_;
  Fault second_fault;
  bool second_ok = true;
  auto check_second = [&] {
    second_ok = CheckStringRange(middle, record_count_, readable_end, path, &second_fault);
  };
  if (middle < record_count_ && !helper.Start(check_second)) check_second();
  const bool first_ok = CheckStringRange(0, middle, readable_end, path, fault);
  helper.Wait();
  if (first_ok && !second_ok) *fault = std::move(second_fault);
  return first_ok && second_ok;
}

bool LoadedTable::CheckStringRange(std::uint32_t begin, std::uint32_t end,
                                   std::uint64_t readable_end, const char* path,
                                   Fault* fault) const {
  for (std::uint32_t n = begin; n < end; ++n) {
    const std::uint8_t* record = GetRecord(n);
    for (const std::uint32_t field : string_fields_) {
      const std::uint32_t offset = LoadLE32(record + 4 * std::size_t{field});
      if (offset >= string_size_) {
        return Failed(
            FaultKind::kBadOffset, path,
            Format("%s have wrong string offset (%u) in record %u, string block size is %u", path,
                   offset, n, string_size_),
            fault);
      }
      if (offset >= readable_end) {
        return Failed(
            FaultKind::kBadOffset, path,
            Format("%s have unterminated string at offset %u in record %u", path, offset, n),
            fault);
      }
    }
  }
  return true;
}

std::string LoadedTable::ComputeDigest() const {
  ContentDigest digest;
  std::uint8_t header[kDbcHeaderSize] = {'W', 'D', 'B', 'C'};
  StoreLE32(header + 4, record_count_);
  StoreLE32(header + 8, field_count_);
  StoreLE32(header + 12, record_size_);
  StoreLE32(header + 16, string_size_);
  digest.Continue(header, sizeof header);
  if (data_.get())
    digest.Continue(data_.get(), std::size_t{record_size_} * record_count_ + string_size_);
  return digest.Hex();
}

const std::uint8_t* LoadedTable::GetRecord(std::uint32_t n) const {
  assert(data_.get() != nullptr && n < record_count_);
  return data_.get() + std::size_t{n} * record_size_;
}

std::vector<std::uint32_t> LoadedTable::LocalizedFields() const {
  std::vector<std::uint32_t> fields;
  std::uint32_t field = 0;
  for (std::uint32_t c = 0; c < descriptor_->column_count; ++c) {
    if (descriptor_->columns[c].type == 's') fields.push_back(field);
    field += FieldWidth(descriptor_->columns[c].type);
  }
  return fields;
}

bool LoadedTable::HasLocalizedTexts() const {
  return descriptor_ && HasLocalizedColumns(*descriptor_);
}

std::uint32_t LoadedTable::FullestSlot() const {
  const std::vector<std::uint32_t> fields = LocalizedFields();
  std::uint64_t texts[kLocaleCount] = {};
  for (std::uint32_t n = 0; n < record_count_; ++n)
    for (const std::uint32_t first : fields)
      for (std::uint32_t slot = 0; slot < kLocaleCount; ++slot)
        texts[slot] += !StringAt(LoadLE32(GetRecord(n) + 4 * std::size_t{first + slot})).empty();
  std::uint32_t fullest = 0;
  for (std::uint32_t slot = 1; slot < kLocaleCount; ++slot)
    if (texts[slot] > texts[fullest]) fullest = slot;
  return fullest;
}

std::string LoadedTable::EmptySlotHint() const {
  if (!IsLoaded() || descriptor_->file_path[0] == '\0') return "";
  const std::vector<std::uint32_t> columns = LocalizedFields();
  const auto any_text = [&](std::uint32_t slot) {
    for (std::uint32_t n = 0; n < record_count_; ++n)
      for (const std::uint32_t first : columns)
        if (!StringAt(LoadLE32(GetRecord(n) + 4 * std::size_t{first + slot})).empty()) return true;
    return false;
  };
  if (columns.empty() || any_text(locale_)) return "";
  for (std::uint32_t slot = 0; slot < kLocaleCount; ++slot) {
    if (slot == locale_ || !any_text(slot)) continue;
    return Format(
        "%s has no texts in slot %u (%s); they are in slot %u (%s): run with -l %u, or -l auto for "
        "each table's own slot",
        descriptor_->file_path, locale_, kLocaleNames[locale_], slot, kLocaleNames[slot], slot);
  }
  return "";
}

std::string LoadedTable::UnstorableText() const {
  if (!IsLoaded()) return "";
  // One pass over the string block finds the bytes no column can hold;
  // almost always there are none.
  std::vector<std::uint32_t> bad;
  for (std::size_t at = 0; at < string_size_;) {
    at += FirstUnstorableByte(strings_ + at, string_size_ - at);
    if (at >= string_size_) break;
    bad.push_back(static_cast<std::uint32_t>(at));
    ++at;
  }
  if (bad.empty()) return "";
  // The first record, in file order, whose exported text holds one.
  for (std::uint32_t n = 0; n < record_count_; ++n) {
    const std::uint8_t* record = GetRecord(n);
    std::size_t step = 0;
    for (std::uint32_t c = 0; c < descriptor_->column_count; ++c) {
      const ColumnDescriptor& column = descriptor_->columns[c];
      if (!IsExported(column.type)) continue;
      const RowValue value = ValueOf(steps_[step++], record);
      if (value.kind != RowValue::kText || value.text.empty()) continue;
      const auto begin = static_cast<std::uint32_t>(value.text.data() - strings_);
      const auto hit = std::lower_bound(bad.begin(), bad.end(), begin);
      if (hit == bad.end() || *hit >= begin + value.text.size()) continue;
      return Format(
          "%s record %u, column %s: %s, which a utf8 column cannot hold: the server "
          "refuses this row, and a script stops loading there",
          descriptor_->file_path, n, column.name, UnstorableKind(strings_, string_size_, *hit));
    }
  }
  return "";
}
