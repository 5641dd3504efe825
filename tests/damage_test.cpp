// Damaged client files: every truncation, every header field set to edge
// values, string offsets at and past the end of the block. Each file must be
// refused with one line naming it (or, where the damage is harmless, load and
// export), and the next table must load and export as usual.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

class CountingWriter : public DBCFile {
 public:
  bool Write(const char*) override {
    ++statements;
    return true;
  }
  std::size_t statements = 0;
};

void PutWord(std::string& bytes, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
}
std::uint32_t GetWord(const std::string& bytes, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

struct Case {
  const char* file;
  const char* table;
};
const Case kCases[] = {{"SpellCastTimes", "vesk_spell_cast_time"},
                       {"CreatureFamily", "vesk_creature_family"},
                       {"QuestInfo", "vesk_quest_info"},
                       {"ItemDisplayInfo", "vesk_itemicon"}};

class DamageTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeSampleClient(dir.path(), {"--records", "3"}); }

  std::string Original(const char* file) { return ReadFile(dir / "dbc/" + file + ".dbc"); }

  // Loads `bytes` as `c`, exports it, then loads and exports the following
  // table of the catalogue. Returns whether the damaged file loaded.
  bool Try(const Case& c, const std::string& bytes, const std::string& what) {
    const TableDescriptor& table = CatalogueEntry(c.table);
    const std::string path = table.file_path;
    CountingWriter writer;
    bool loaded = false;
    const std::string out = CaptureStdout([&] {
      loaded = LoadBytes(writer, &table, bytes);
      writer.DumpTable();
    });
    if (loaded) {
      EXPECT_EQ(writer.statements, 2 + writer.Table().RecordCount()) << what;
    } else {
      EXPECT_EQ(writer.statements, 0u) << what;
      // "Open DBC file: <path>\n<path> <what is wrong>\n"
      const std::string open = "Open DBC file: " + path + "\n";
      EXPECT_EQ(out.rfind(open + path + " ", 0), 0u) << what << "\n" << out;
      EXPECT_EQ(CountOf(out, "\n"), 2u) << what << "\n" << out;
      // The fault names its file as a field, not only in its words.
      last_kind = writer.FaultAt(0).kind;
      EXPECT_EQ(writer.FaultAt(0).file, path) << what;
      EXPECT_EQ(writer.FaultAt(0).reason, out.substr(open.size(), out.size() - open.size() - 1));
    }
    // The next table is unaffected.
    bool next = false;
    CaptureStdout([&] {
      next = LoadBytes(writer, &CatalogueEntry("vesk_zones"), Original("AreaTable"));
      writer.DumpTable();
    });
    EXPECT_TRUE(next) << what;
    return loaded;
  }

  TempDir dir;
  FaultKind last_kind = FaultKind::kOther;  // of the last damaged file refused
};

TEST_F(DamageTest, EveryTruncationIsRefused) {
  for (const Case& c : kCases) {
    const std::string full = Original(c.file);
    for (std::size_t length = 0; length < full.size(); ++length) {
      EXPECT_FALSE(Try(c, full.substr(0, length),
                       std::string(c.file) + " cut to " + std::to_string(length)));
      // Too short for its header, or for what its header says.
      EXPECT_EQ(last_kind, FaultKind::kBadHeader) << c.file << " cut to " << length;
    }
    EXPECT_TRUE(Try(c, full, std::string(c.file) + " whole"));
  }
}

TEST_F(DamageTest, HeaderFieldsAtEdgeValues) {
  for (const Case& c : kCases) {
    const std::string full = Original(c.file);
    for (std::size_t field = 1; field <= 4; ++field) {
      for (std::uint32_t value : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x40000000u, 4096u}) {
        std::string bytes = full;
        const bool unchanged = GetWord(bytes, 4 * field) == value;
        PutWord(bytes, 4 * field, value);
        const std::string what = std::string(c.file) + " header word " + std::to_string(field) +
                                 " = " + std::to_string(value);
        const bool loaded = Try(c, bytes, what);
        if (unchanged) {
          EXPECT_TRUE(loaded) << what;
        } else if (!loaded && field == 2) {
          EXPECT_EQ(last_kind, FaultKind::kWrongFieldCount) << what;
        } else if (!loaded) {
          // A smaller string block leaves texts outside it.
          EXPECT_TRUE(last_kind == FaultKind::kBadHeader ||
                      (field == 4 && last_kind == FaultKind::kBadOffset))
              << what;
        } else {
          // Only fewer records, or a shorter string block that still holds
          // every exported string, describe a file that still fits.
          EXPECT_TRUE((field == 1 && value <= 3) || (field == 4 && value < GetWord(full, 16)))
              << what;
        }
      }
    }
  }
}

TEST_F(DamageTest, StringOffsetsAtAndPastTheEndOfTheBlock) {
  // QuestInfo: slot 0 of `name` is field 1 of each 72-byte record.
  const Case& quest = kCases[2];
  const std::string full = Original(quest.file);
  const std::uint32_t block = GetWord(full, 16);
  const std::size_t name_field = 20 + 4;
  for (std::uint32_t offset : {block, block + 1, block + 1000, 0xFFFFFFFFu}) {
    std::string bytes = full;
    PutWord(bytes, name_field, offset);
    EXPECT_FALSE(Try(quest, bytes, "offset " + std::to_string(offset)));
    EXPECT_EQ(last_kind, FaultKind::kBadOffset);
  }
  std::string last_byte = full;
  PutWord(last_byte, name_field, block - 1);  // the final NUL: an empty string
  EXPECT_TRUE(Try(quest, last_byte, "offset of the last byte"));

  // A block without its final NUL: the last string has no end.
  std::string open_end = full.substr(0, full.size() - 1);
  PutWord(open_end, 16, block - 1);
  const std::uint32_t last_start =
      static_cast<std::uint32_t>(open_end.rfind('\0') + 1 - (20 + 3 * 72));
  PutWord(open_end, name_field, last_start);
  EXPECT_FALSE(Try(quest, open_end, "unterminated last string"));
  EXPECT_EQ(last_kind, FaultKind::kBadOffset);
}

TEST_F(DamageTest, PathColumnsAreCheckedToo) {
  // CreatureFamily: `icon` (k) is the last of its 28 fields.
  const Case& family = kCases[1];
  std::string bytes = Original(family.file);
  PutWord(bytes, 20 + 27 * 4, GetWord(bytes, 16));
  EXPECT_FALSE(Try(family, bytes, "icon offset past the block"));
}

TEST_F(DamageTest, WholeRunGoesOnAfterADamagedSpellTable) {
  std::string spell = Original("Spell");
  spell.resize(spell.size() / 2);
  WriteFile(dir / "dbc/Spell.dbc", spell);
  const RunResult r = RunConverter(dir.path(), {"-f", "out.sql"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.out.find("Open DBC file: dbc\\Spell.dbc\ndbc\\Spell.dbc is truncated: its header needs "),
      std::string::npos);
  const std::string script = ReadFile(dir / "out.sql");
  EXPECT_EQ(script.find("`vesk_spell`"), std::string::npos);
  EXPECT_EQ(CountOf(TableSection(script, "vesk_spell_shapeshift"), "INSERT"), 3u);
  EXPECT_EQ(CountOf(script, "DROP TABLE"), CatalogueSize() - 1) << "all but Spell";
}

TEST_F(DamageTest, AFifoInPlaceOfAFileDoesNotStallTheRun) {
  std::filesystem::remove(dir / "dbc/SpellIcon.dbc");
  ASSERT_EQ(::mkfifo((dir / "dbc/SpellIcon.dbc").c_str(), 0644), 0);
  const RunResult r = RunConverter(dir.path(), {"-f", "out.sql"});
  EXPECT_NE(r.out.find("dbc\\SpellIcon.dbc cannot be read: not a regular file\n"),
            std::string::npos);
  EXPECT_EQ(r.status, 1);
}

TEST_F(DamageTest, AnOutputFolderThatCannotBeWritten) {
  const RunResult r = RunConverter(dir.path(), {"-f", "/proc/out.sql"});
  EXPECT_TRUE(r.out.ends_with("\nCreate SQL file /proc/out.sql: ERROR\n"));
  EXPECT_EQ(r.status, 1);
}

}  // namespace
