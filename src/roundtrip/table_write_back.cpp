#include "roundtrip/table_write_back.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "dbc/dbc_format.h"
#include "dbc/table_descriptor.h"
#include "dbc/utf8.h"
#include "port/byte_reader.h"
#include "port/durable_file.h"
#include "port/interrupt.h"

namespace {

// Whether `text` is a whole number: an optional minus, then digits only.
bool IsWholeNumber(const char* text) {
  const char* p = text + (*text == '-');
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') ++p;
  return *p == '\0';
}

}  // namespace

std::uint32_t TableWriteBack::AddString(std::string_view folder, std::string_view name) {
  // The template's block starts with its empty string, as client files do.
  if (folder.empty() && name.empty() && table_->StringBlockSize() > 0 &&
      table_->StringBlock()[0] == '\0')
    return 0;
  const auto offset = static_cast<std::uint32_t>(table_->StringBlockSize() + added_strings_.size());
  added_strings_.append(folder);
  added_strings_.append(name);
  added_strings_.push_back('\0');
  return offset;
}

std::string_view TableWriteBack::FolderOf(std::size_t j, const std::uint8_t* record) const {
  const LoadedTable::ValueStep& step = table_->ValueSteps()[rows_.columns()[j].step];
  if (step.type != 'k') return {};
  const std::string_view path = table_->StringAt(LoadLE32(record + 4 * std::size_t{step.field}));
  return path.substr(0, static_cast<std::size_t>(BaseName(path.data(), path.size()) - path.data()));
}

std::string TableWriteBack::CommonFolder(std::size_t j) const {
  std::string folder;
  for (std::uint32_t n = 0; n < table_->RecordCount(); ++n) {
    const std::string_view own = FolderOf(j, table_->GetRecord(n));
    if (n == 0) folder = own;
    if (own != folder) return "";
  }
  return folder;
}

bool TableWriteBack::SetField(std::size_t j, std::uint8_t* record, const char* value,
                              unsigned long length, std::string_view folder, std::string* why) {
  const LoadedTable::ValueStep& step = table_->ValueSteps()[rows_.columns()[j].step];
  std::uint8_t* const field = record + 4 * std::size_t{step.field};
  const auto column = [&] { return std::string("column ") + rows_.columns()[j].name + ": "; };
  switch (step.type) {
    case 'u':
    case 'i': {
      errno = 0;
      const long long number = std::strtoll(value, nullptr, 10);
      const bool fits = step.type == 'u' ? number >= 0 && number <= UINT_MAX
                                         : number >= INT_MIN && number <= INT_MAX;
      if (!IsWholeNumber(value) || errno == ERANGE || !fits) {
        *why = column() + value + " is out of the range of its " +
               (step.type == 'u' ? "unsigned" : "signed") + " 32-bit field";
        return false;
      }
      StoreLE32(field, static_cast<std::uint32_t>(number));
      return true;
    }
    case 'f': {
      const double number = std::strtod(value, nullptr);
      if (!std::isfinite(number) || std::fabs(number) > FLT_MAX) {
        *why = column() + value + " cannot be stored as a float";
        return false;
      }
      const auto single = static_cast<float>(number);
      std::uint32_t bits;
      std::memcpy(&bits, &single, sizeof bits);
      StoreLE32(field, bits);
      return true;
    }
    default: {  // t, s, k
      if (std::memchr(value, '\0', length)) {
        *why = column() + "the text holds a NUL byte, which a client file cannot";
        return false;
      }
      // (A column the user made a BLOB can hold any bytes: a load of the
      // file would refuse them.)
      if (!IsUtf8(value, length)) {
        *why = column() + "the text is not UTF-8, which a load of the file would refuse";
        return false;
      }
      StoreLE32(field, AddString(folder, std::string_view(value, length)));
      return true;
    }
  }
}

bool TableWriteBack::Build(const LoadedTable& table, int fd, Counts* counts, std::string* why) {
  rows_.Prepare(table);
  if (!rows_.CheckColumns(session_, why)) return false;
  RowStream stream;
  if (!rows_.Open(session_, &stream, why)) return false;
  ServerRowSource source(stream);
  return WritePrepared(table, source, fd, counts, why);
}

bool TableWriteBack::Write(const LoadedTable& table, RowSource& source, int fd, Counts* counts,
                           std::string* why) {
  rows_.Prepare(table);
  return WritePrepared(table, source, fd, counts, why);
}

bool TableWriteBack::WritePrepared(const LoadedTable& table, RowSource& source, int fd,
                                   Counts* counts, std::string* why) {
  table_ = &table;
  *counts = {};
  added_strings_.clear();
  if (!WriteTemplate(fd, why)) return false;
  std::vector<bool> kept(table.RecordCount());
  std::string added;  // the records of rows the template lacks
  if (!TakeRows(source, fd, &kept, &added, counts, why)) return false;
  if (table.StringBlockSize() + added_strings_.size() > UINT32_MAX) {
    *why = "its texts do not fit in a client file's 32-bit offsets";
    return false;
  }
  return WriteTail(fd, kept, added, counts, why);
}

bool TableWriteBack::WriteTemplate(int fd, std::string* why) {
  // The template's records first, in its order; the rows that differ are
  // written over theirs. The file, not memory, holds them: memory keeps what
  // one table's export keeps.
  const LoadedTable& table = *table_;
  constexpr std::size_t kChunk = 1 << 20;
  const std::size_t records_size = std::size_t{table.RecordCount()} * table.RecordSize();
  int error = 0;
  for (std::size_t at = 0; at < records_size && !error; at += kChunk)
    error = WriteAt(fd, table.GetRecord(0) + at, std::min(kChunk, records_size - at),
                    kDbcHeaderSize + at);
  table.ForgetAll();
  if (error) *why = std::string("cannot be written: ") + std::strerror(error);
  return error == 0;
}

bool TableWriteBack::TakeValues(std::uint8_t* into, std::uint32_t n, char** row,
                                const unsigned long* lengths,
                                const std::vector<std::string>& folders, bool* changed,
                                std::string* why) {
  const std::uint32_t count = table_->RecordCount();
  const auto key = [&] { return n < count ? rows_.ClientKey(n) : rows_.ServerKey(row, lengths); };
  *changed = false;
  for (std::size_t j = 0; j < rows_.columns().size(); ++j) {
    if (!row[j]) {
      *why = "row " + key() + ", column " + rows_.columns()[j].name + ": NULL";
      return false;
    }
    if (n < count && rows_.Same(j, n, row[j], lengths[j])) continue;
    *changed = true;
    const std::string_view folder = n < count ? FolderOf(j, table_->GetRecord(n)) : folders[j];
    if (!SetField(j, into, row[j], lengths[j], folder, why)) {
      *why = "row " + key() + ", " + *why;
      return false;
    }
  }
  return true;
}

bool TableWriteBack::RepeatsKey(char** row, const unsigned long* lengths, std::string* key,
                                std::string* previous, bool* first) const {
  key->clear();
  for (std::size_t j = 0; j < rows_.columns().size(); ++j)
    if (rows_.columns()[j].key && row[j]) key->append(row[j], lengths[j]).push_back('\0');
  const bool repeats = !*first && *key == *previous;
  *first = false;
  previous->swap(*key);
  return repeats;
}

bool TableWriteBack::TakeRows(RowSource& source, int fd, std::vector<bool>* kept,
                              std::string* added, Counts* counts, std::string* why) {
  const LoadedTable& table = *table_;
  const std::size_t size = table.RecordSize();
  const std::uint32_t count = table.RecordCount();
  std::string record(size, '\0');
  std::vector<std::string> folders(rows_.columns().size());
  for (std::size_t j = 0; j < folders.size(); ++j) folders[j] = CommonFolder(j);
  const std::vector<std::uint32_t>& order = rows_.order();
  std::uint32_t next = 0;
  // The key of this row and of the row before.
  std::string key, previous_key;
  bool first = true;
  char** row;
  const unsigned long* lengths;
  while (source.Next(&row, &lengths)) {
    if (const int signal_number = PendingInterrupt()) {
      *why = InterruptedBy(signal_number);
      return false;
    }
    if (rows_.keyed() && RepeatsKey(row, lengths, &key, &previous_key, &first)) {
      *why = "row " + rows_.ServerKey(row, lengths) +
             " is in the database twice, which a load of the file would refuse";
      return false;
    }
    if (rows_.keyed())
      while (next < count && rows_.CompareKeys(order[next], row, lengths) < 0) ++next;
    const bool known =
        next < count && (!rows_.keyed() || rows_.CompareKeys(order[next], row, lengths) == 0);
    bool changed = false;
    if (!known) {
      // A row the template lacks: a new record after the template's.
      const std::size_t at = added->size();
      added->append(size, '\0');
      if (!TakeValues(reinterpret_cast<std::uint8_t*>(&(*added)[at]), count, row, lengths, folders,
                      &changed, why))
        return false;
      ++counts->added;
      continue;
    }
    const std::uint32_t n = order[next++];
    (*kept)[n] = true;
    std::memcpy(record.data(), table.GetRecord(n), size);
    if (!TakeValues(reinterpret_cast<std::uint8_t*>(record.data()), n, row, lengths, folders,
                    &changed, why))
      return false;
    if (!changed) continue;
    ++counts->changed;
    if (const int error = WriteAt(fd, record.data(), size, kDbcHeaderSize + n * size)) {
      *why = std::string("cannot be written: ") + std::strerror(error);
      return false;
    }
  }
  // A signal ends a read in flight (see AbortSocketOnInterrupt).
  if (const int signal_number = PendingInterrupt()) {
    *why = InterruptedBy(signal_number);
    return false;
  }
  *why = source.Failure();
  return why->empty();
}

bool TableWriteBack::WriteTail(int fd, const std::vector<bool>& kept, const std::string& added,
                               Counts* counts, std::string* why) {
  const LoadedTable& table = *table_;
  const std::size_t size = table.RecordSize();
  const std::uint32_t count = table.RecordCount();
  std::string record(size, '\0');
  int error = 0;
  // The records the database left out go; the others move up in turn.
  std::uint32_t written = 0;
  for (std::uint32_t n = 0; n < count && !error; ++n) {
    if (!kept[n]) continue;
    if (written != n) {
      error = ReadAt(fd, record.data(), size, kDbcHeaderSize + std::uint64_t{n} * size);
      if (!error)
        error = WriteAt(fd, record.data(), size, kDbcHeaderSize + std::uint64_t{written} * size);
    }
    ++written;
  }
  counts->left_out = count - written;
  counts->records = written + counts->added;
  std::uint64_t at = kDbcHeaderSize + std::uint64_t{written} * size;
  const auto append = [&](const void* data, std::size_t length) {
    if (!error) error = WriteAt(fd, data, length, at);
    at += length;
  };
  append(added.data(), added.size());
  append(table.StringBlock(), table.StringBlockSize());
  append(added_strings_.data(), added_strings_.size());
  std::uint8_t header[kDbcHeaderSize];
  StoreDbcHeader(header,
                 {counts->records, table.FieldCount(), static_cast<std::uint32_t>(size),
                  static_cast<std::uint32_t>(table.StringBlockSize() + added_strings_.size())});
  if (!error) error = WriteAt(fd, header, sizeof header, 0);
  if (!error && ::ftruncate(fd, static_cast<off_t>(at)) != 0) error = errno;
  if (error) {
    *why = std::string("cannot be written: ") + std::strerror(error);
    return false;
  }
  return true;
}

std::string RatingSourceFile(const std::string& merged, const LoadedTable& source_template,
                             const RatingSource& source) {
  const LoadedTable& from = source_template;
  const std::size_t size = from.RecordSize();
  std::string file(kDbcHeaderSize, '\0');
  StoreDbcHeader(reinterpret_cast<std::uint8_t*>(file.data()),
                 {from.RecordCount(), from.FieldCount(), static_cast<std::uint32_t>(size),
                  from.StringBlockSize()});
  if (from.RecordCount())
    file.append(reinterpret_cast<const char*>(from.GetRecord(0)), from.RecordCount() * size);
  file.append(from.StringBlock(), from.StringBlockSize());
  const auto* cells = reinterpret_cast<const std::uint8_t*>(merged.data()) + kDbcHeaderSize;
  const std::uint32_t row_size = LoadLE32(cells - 8);  // the merged file's record size
  auto* records = reinterpret_cast<std::uint8_t*>(file.data()) + kDbcHeaderSize;
  for (std::uint32_t c = 0; c < source.classes; ++c)
    for (std::uint32_t r = 0; r < source.levels; ++r)
      std::memcpy(records + (std::size_t{c} * source.levels + r) * size,
                  cells + std::size_t{r} * row_size + 4 * std::size_t{source.first_column + c}, 4);
  return file;
}
