#include "fuzz/harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"

namespace {

class DiscardingWriter : public DBCFile {
 public:
  bool Write(const char* text) override {
    bytes_ += std::strlen(text);
    return true;
  }

 private:
  std::size_t bytes_ = 0;
};

const TableDescriptor* Find(const char* table) {
  for (const TableDescriptor* t : ExportOrder())
    if (std::strcmp(t->table_name, table) == 0) return t;
  return nullptr;
}

bool WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  while (size > 0 && ok) {
    const ssize_t n = ::write(fd, data, size);
    ok = n > 0;
    if (ok) {
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  return ::close(fd) == 0 && ok;
}

void WriteSource(const std::string& path, std::uint32_t records) {
  std::vector<std::uint32_t> words = {0x43424457u, records, 1, 4, 0};
  for (std::uint32_t n = 0; n < records; ++n) words.push_back(0x3F000000u + n);
  WriteBytes(path, reinterpret_cast<const std::uint8_t*>(words.data()), words.size() * 4);
}

void WriteSources(const std::string& dir) {
  WriteSource(dir + "/dbc/gtChanceToMeleeCrit.dbc", 1100);
  WriteSource(dir + "/dbc/gtChanceToSpellCrit.dbc", 1100);
  WriteSource(dir + "/dbc/gtCombatRatings.dbc", 2400);
}

struct Target {
  const char* file;            // client file name
  const TableDescriptor* table;  // null: the rating merge
};

}  // namespace

FuzzHarness::FuzzHarness(const std::string& scratch) : dir_(scratch) {
  std::filesystem::create_directories(dir_ + "/dbc");
  WriteSources(dir_);
}

bool FuzzHarness::RunOne(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return false;
  static const Target kTargetList[kTargets] = {
      {"SpellCastTimes", Find("vesk_spell_cast_time")},
      {"CreatureFamily", Find("vesk_creature_family")},  // f, s and k columns
      {"Spell", &kSpellTable},
      {"ItemDisplayInfo", Find("vesk_itemicon")},  // skipped columns
      {"gtChanceToMeleeCrit", nullptr},
      {"gtChanceToSpellCrit", nullptr},
      {"gtCombatRatings", nullptr},
  };
  const Target& target = kTargetList[data[0] % kTargets];
  const int locale = data[0] / kTargets % 13;  // 12: out of range

  const std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  WriteBytes(std::string("dbc/") + target.file + ".dbc", data + 1, size - 1);

  DiscardingWriter writer;
  writer.SetLocale(locale);
  bool loaded;
  if (target.table) {
    loaded = writer.Load(target.table);
  } else {
    writer.LoadRatingTable(&kRatingTable);
    loaded = writer.ExportFaults() == 0;
  }
  writer.DumpTable();
  if (!target.table)  // undo the damage for the next run
    WriteSource(std::string("dbc/") + target.file + ".dbc",
                target.file == std::string("gtCombatRatings") ? 2400 : 1100);
  std::filesystem::current_path(previous);
  return loaded;
}
