#include "dbc/dbcfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dbc/byte_reader.h"
#include "dbc/host_path.h"

namespace {

constexpr std::uint32_t kMagic = 0x43424457;  // "WDBC"
constexpr std::size_t kHeaderSize = 20;

const char* const kLocaleNames[kLocaleCount] = {
    "enGB", "enUS", "deDE", "esES", "frFR", "koKR",
    "zhCN", "zhTW", "enCN", "enTW", "esMX", "ruRU"};

// Closes a descriptor when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads exactly `size` bytes unless the file ends or fails first; returns
// the number of bytes read.
std::size_t ReadFully(int fd, std::uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

bool DBCFile::Write(const char*) { return false; }

void DBCFile::Close() {}

void DBCFile::Unload() {
  data_.reset();
  data_size_ = 0;
  strings_ = nullptr;
}

bool DBCFile::Load(const TableDescriptor* descriptor) {
  Unload();
  const char* path = descriptor->file_path;
  std::printf("Open DBC file: %s\n", path);

  const HostPath host_path = ResolveClientPath(path);
  if (!host_path.ambiguous.empty()) {
    // Taking whichever the folder lists first would be a guess.
    std::string names;
    for (const std::string& candidate : host_path.ambiguous)
      names += (names.empty() ? "" : ", ") + candidate;
    std::printf("%s is ambiguous: %s\n", path, names.c_str());
    CountFault();
    return false;
  }
  // Non-blocking, so that a FIFO in place of a file cannot stall the run.
  FileHandle file(::open(host_path.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      std::printf("%s not exist\n", path);
    else
      std::printf("%s cannot be read: %s\n", path, std::strerror(errno));
    CountFault();
    return false;
  }
  struct stat st;
  errno = 0;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    const char* reason = errno ? std::strerror(errno) : "";
    if (errno == 0) reason = S_ISDIR(st.st_mode) ? "Is a directory" : "not a regular file";
    std::printf("%s cannot be read: %s\n", path, reason);
    CountFault();
    return false;
  }
  const auto file_size = static_cast<std::size_t>(st.st_size);

  std::uint8_t header[kHeaderSize];
  std::size_t header_read = ReadFully(file.get(), header, kHeaderSize);
  ByteReader reader(header, header_read);
  std::uint32_t magic = 0;
  if (!reader.ReadU32(0, &magic) || magic != kMagic) {
    std::printf("%s not dbc file\n", path);
    CountFault();
    return false;
  }
  if (header_read < kHeaderSize) {
    std::printf("%s is truncated: its header needs %zu bytes, the file has %zu\n",
                path, kHeaderSize, header_read);
    CountFault();
    return false;
  }
  reader.ReadU32(4, &record_count_);
  reader.ReadU32(8, &field_count_);
  reader.ReadU32(12, &record_size_);
  reader.ReadU32(16, &string_size_);
  descriptor_ = descriptor;
  if (!CheckHeader(path, file_size)) {
    CountFault();
    return false;
  }

  // Records and string block in one block, read with one call.
  const std::size_t records_size =
      static_cast<std::size_t>(record_size_) * record_count_;
  const std::size_t size = records_size + string_size_;
  TableBuffer data = TableBuffer::Allocate(size);
  if (!data.get()) {
    std::printf("%s is too large: %zu bytes cannot be allocated\n", path, size);
    CountFault();
    return false;
  }
  std::size_t got = ReadFully(file.get(), data.get(), size);
  if (got != size) {
    std::printf("%s is truncated: its header needs %zu bytes, the file has %zu\n",
                path, kHeaderSize + size, kHeaderSize + got);
    CountFault();
    return false;
  }
  data_ = std::move(data);
  data_size_ = size;
  strings_ = reinterpret_cast<const char*>(data_.get() + records_size);
  if (!CheckStrings(path)) {
    Unload();
    CountFault();
    return false;
  }
  PrepareInsert();
  return true;
}

bool DBCFile::CheckHeader(const char* path, std::size_t file_size) {
  const std::uint32_t expected = ExpectedFieldCount(*descriptor_);
  if (field_count_ != expected) {
    std::printf("%s have wrong field Count (%d), must be %d\n", path,
                static_cast<int>(field_count_), static_cast<int>(expected));
    return false;
  }
  const std::uint64_t min_record = std::uint64_t{4} * expected;
  if (record_size_ < min_record) {
    std::printf("%s have wrong record Size (%u), must be at least %llu\n", path,
                record_size_, static_cast<unsigned long long>(min_record));
    return false;
  }
  // 32-bit values: the product and sum cannot overflow 64 bits.
  const std::uint64_t needed = kHeaderSize +
                               std::uint64_t{record_size_} * record_count_ +
                               string_size_;
  if (needed > file_size) {
    std::printf("%s is truncated: its header needs %llu bytes, the file has %zu\n",
                path, static_cast<unsigned long long>(needed), file_size);
    return false;
  }
  return true;
}

bool DBCFile::CheckStrings(const char* path) const {
  // A string is readable when it starts inside the block and a NUL follows
  // it inside the block, that is when it starts at or before the last NUL.
  const void* last = string_size_ ? ::memrchr(strings_, 0, string_size_) : nullptr;
  const std::uint64_t readable_end =
      last ? static_cast<std::uint64_t>(static_cast<const char*>(last) - strings_) + 1
           : 0;
  // The record fields that hold the offset of an exported string.
  const TableDescriptor& table = *descriptor_;
  std::vector<std::uint32_t> string_fields;
  std::uint32_t field = 0;
  for (std::uint32_t c = 0; c < table.column_count; ++c) {
    const char type = table.columns[c].type;
    if (IsString(type)) string_fields.push_back(field + (type == 's' ? locale_ : 0));
    field += FieldWidth(type);
  }
  for (std::uint32_t n = 0; n < record_count_; ++n) {
    const std::uint8_t* record = GetRecord(n);
    for (const std::uint32_t at : string_fields) {
      const std::uint32_t offset = LoadLE32(record + 4 * std::size_t{at});
      if (offset >= string_size_) {
        std::printf("%s have wrong string offset (%u) in record %u, "
                    "string block size is %u\n",
                    path, offset, n, string_size_);
        return false;
      }
      if (offset >= readable_end) {
        std::printf("%s have unterminated string at offset %u in record %u\n",
                    path, offset, n);
        return false;
      }
    }
  }
  return true;
}

void DBCFile::SetLocale(int index) {
  locale_ = (index >= 0 && index < static_cast<int>(kLocaleCount))
                ? static_cast<std::uint32_t>(index)
                : 0;
  std::printf("Change locale to: %s\n", kLocaleNames[locale_]);
}

const std::uint8_t* DBCFile::GetRecord(std::uint32_t n) const {
  assert(data_ && n < record_count_);
  return data_.get() + std::size_t{n} * record_size_;
}
