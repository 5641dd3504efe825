// One client table in memory, read only: the records and string block of a
// client (DBC) file read and checked against its TableDescriptor, or the
// merged rating table. It knows nothing of SQL or of outputs; the statement
// builder and the outputs read it.
//
// Every byte of a loaded file is checked before it is used: a table that
// loads can be exported without reading outside its block. A client file is
// read in place (see TableBuffer), so the values that locate other bytes
// (string offsets) are bounded again where they are used; Changed() tells
// whether the file changed while the table was in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/client_files.h"
#include "dbc/table_descriptor.h"
#include "port/byte_reader.h"
#include "port/helper_thread.h"
#include "port/table_buffer.h"

// A printf-formatted line, as the reader's reasons are written.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Start of the last path component of the `length` bytes at `s` (the value
// of a `k` column): after the last backslash among all but the final
// character, or `s` itself.
const char* BaseName(const char* s, std::size_t length);

class LoadedTable {
 public:
  LoadedTable() = default;
  LoadedTable(const LoadedTable&) = delete;
  LoadedTable& operator=(const LoadedTable&) = delete;

  // Reads the client file of `descriptor` from `files` and checks it: the
  // header, the sizes and every string offset the export reads (a large
  // table's second half on `helper`). False, with the reason, and no table
  // loaded, when it cannot be used.
  bool Read(const TableDescriptor* descriptor, ClientFiles& files, HelperThread& helper,
            Fault* fault);
  // Makes `block`, `records` records of `fields` fields and no strings, the
  // loaded table under `descriptor` (the merged rating table).
  void Adopt(const TableDescriptor* descriptor, TableBuffer block, std::uint32_t records,
             std::uint32_t fields);
  // No table loaded; a heap block is kept for the next table.
  void Unload();

  // The language slot read for localized strings, 0 to 11; set before a
  // table is read.
  void SetLocale(std::uint32_t slot) {
    locale_ = slot;
    auto_locale_ = false;
  }
  // Each table read from now on takes its texts from the slot with the most
  // texts (the lowest of those alike; slot 0 when none has any).
  void SetAutoLocale() { auto_locale_ = true; }
  bool AutoLocale() const { return auto_locale_; }
  // Whether the table has localized text columns.
  bool HasLocalizedTexts() const;
  std::uint32_t Locale() const { return locale_; }

  bool IsLoaded() const { return data_.get() != nullptr; }
  // Counts the tables loaded so far, so that a reader of the table can tell
  // that it was replaced.
  std::uint64_t Generation() const { return generation_; }
  const TableDescriptor* Descriptor() const { return descriptor_; }
  const std::uint8_t* GetRecord(std::uint32_t n) const;
  std::uint32_t RecordCount() const { return record_count_; }
  std::uint32_t RecordSize() const { return record_size_; }
  // Lets the pages of a mapped client file go from memory (they are read
  // again when touched): those of records [first, end), or all.
  void ForgetRecords(std::uint32_t first, std::uint32_t end) const {
    data_.Forget(data_.get() + std::size_t{record_size_} * first,
                 data_.get() + std::size_t{record_size_} * end);
  }
  // Frees the block kept for the next small table (see Unload()).
  void ReleaseSpare() { spare_.reset(); }
  // Whether the client file is mapped, not copied.
  bool IsMapped() const { return data_.IsFileMapping(); }
  void ForgetAll() const { data_.Forget(data_.get(), data_.get() + data_.size()); }
  std::uint32_t FieldCount() const { return field_count_; }
  std::uint32_t StringBlockSize() const { return string_size_; }
  const char* StringBlock() const { return strings_; }
  // The string at `offset` of the string block, up to its NUL. Offsets were
  // checked at load; they are bounded again here because a mapped client
  // file may have changed since: an offset outside the block reads as "",
  // and a string without its NUL ends with the block.
  std::string_view StringAt(std::uint32_t offset) const {
    if (offset >= string_size_) return {"", 0};
    const char* s = strings_ + offset;
    return {s, ::strnlen(s, string_size_ - offset)};
  }
  // Whether the client file was cut short or written since it was read.
  bool Changed() const { return data_.Changed(); }
  // Each table read from now on gets the digest of its bytes (its header,
  // records and string block: what a load reads; see ContentDigest), taken
  // while the load reads them, so that a mapped file's pages need not be
  // read again. Digest() is empty without it.
  void KeepDigests() { keep_digests_ = true; }
  const std::string& Digest() const { return digest_; }
  // The client file's size (the merged rows' for a merged table).
  std::uint64_t FileSize() const { return file_size_; }

  // How a record turns into values: one step per exported column, prepared
  // once per table.
  struct ValueStep {
    char type;            // u, i, f, t, k or s
    std::uint32_t field;  // field read: for s, the locale's slot
  };
  const std::vector<ValueStep>& ValueSteps() const { return steps_; }

  // One exported value of a record: the one place that reads it, for the
  // statement text and for the server's arrays alike. A number is the
  // field's word; a text is the string (for k, its last path component).
  struct RowValue {
    enum Kind { kUnsigned, kSigned, kFloat, kText } kind;
    std::uint32_t word;
    std::string_view text;
  };
  RowValue ValueOf(const ValueStep& step, const std::uint8_t* record) const {
    const std::uint32_t word = LoadLE32(record + 4 * std::size_t{step.field});
    switch (step.type) {
      case 'u': return {RowValue::kUnsigned, word, {}};
      case 'i': return {RowValue::kSigned, word, {}};
      case 'f': return {RowValue::kFloat, word, {}};
      default: {  // t, k, s
        std::string_view text = StringAt(word);
        if (step.type == 'k') text.remove_prefix(BaseName(text.data(), text.size()) - text.data());
        return {RowValue::kText, word, text};
      }
    }
  }

  // When every localized text is empty in the chosen slot while another
  // slot holds text, one line that says so and names that slot; else "".
  std::string EmptySlotHint() const;
  // When a text holds what a utf8 (three-byte) column cannot (a four-byte
  // character, bytes that are not UTF-8), one line naming the first such
  // record and column; else "". The server refuses that row.
  std::string UnstorableText() const;

 private:
  bool Accept(const TableDescriptor* descriptor, TableSource& source, HelperThread& helper,
              Fault* fault);
  bool CheckHeader(const char* path, std::size_t file_size, Fault* fault) const;
  bool CheckStrings(const char* path, HelperThread& helper, Fault* fault);
  bool CheckStringRange(std::uint32_t begin, std::uint32_t end, std::uint64_t readable_end,
                        const char* path, Fault* fault) const;
  // A block of at least `size` bytes for a table read from a file, whose
  // content the read replaces.
  TableBuffer TakeBuffer(std::size_t size);
  void PrepareSteps();
  // The digest of the table's bytes, as Digest() gives it.
  std::string ComputeDigest() const;
  // The first field of each localized column.
  std::vector<std::uint32_t> LocalizedFields() const;
  // The slot with the most non-empty texts (see SetAutoLocale()); reads
  // offsets not yet checked, each bounded by StringAt().
  std::uint32_t FullestSlot() const;

  std::uint32_t record_size_ = 0;
  std::uint32_t record_count_ = 0;
  std::uint32_t field_count_ = 0;
  std::uint32_t string_size_ = 0;
  std::uint64_t file_size_ = 0;
  bool keep_digests_ = false;
  std::string digest_;
  TableBuffer data_;
  TableBuffer spare_;  // the block of an earlier table, for reuse
  const char* strings_ = nullptr;
  std::uint32_t locale_ = 0;
  bool auto_locale_ = false;
  const TableDescriptor* descriptor_ = nullptr;
  std::uint64_t generation_ = 0;
  std::vector<ValueStep> steps_;
  std::vector<std::uint32_t> string_fields_;  // the fields holding string offsets
};
