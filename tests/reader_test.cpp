// Loading and checking client files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"
#include "port/thread.h"
#include "sinks/dbc_to_file.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

// u `id`, s `name`: 18 fields.
const ColumnDescriptor kQuestColumns[] = {{'u', "id", Key::kPrimary}, {'s', "name"}};
const TableDescriptor kQuest = {"dbc\\QuestInfo.dbc", "vesk_quest_info", 2, kQuestColumns};

// u `id`, t `text`, k `icon`, x: 4 fields.
const ColumnDescriptor kMixedColumns[] = {
    {'u', "id", Key::kPrimary}, {'t', "text"}, {'k', "icon"}, {'x', ""}};
const TableDescriptor kMixed = {"dbc\\Mixed.dbc", "vesk_mixed", 4, kMixedColumns};

std::vector<std::uint32_t> QuestRecord(std::uint32_t id, std::uint32_t name_offset) {
  std::vector<std::uint32_t> r(18, 0);
  r[0] = id;
  r[1] = name_offset;
  return r;
}

class ReaderTest : public ::testing::Test {
 protected:
  // Loads `table` in the temporary client folder; returns the console text.
  std::string Load(DBCFile& reader, const TableDescriptor& table, bool* ok) {
    std::string out;
    InDirectory(dir.path(), [&] { out = CaptureStdout([&] { *ok = reader.Load(&table); }); });
    return out;
  }

  // Loads `bytes` as the client file of `table`; returns the console text.
  std::string LoadBytes(DBCFile& reader, const TableDescriptor& table, const std::string& bytes,
                        bool* ok) {
    return CaptureStdout([&] { *ok = ::LoadBytes(reader, &table, bytes); });
  }

  // Loads `bytes` as the client file of `table` and expects it refused with
  // the one line `refusal` after the opening line.
  void ExpectRefused(const TableDescriptor& table, const std::string& bytes,
                     const std::string& refusal) {
    DBCFile reader;
    bool ok = true;
    EXPECT_EQ(LoadBytes(reader, table, bytes, &ok),
              "Open DBC file: " + std::string(table.file_path) + "\n" + refusal + "\n");
    EXPECT_FALSE(ok);
    EXPECT_FALSE(reader.Table().IsLoaded());
    EXPECT_EQ(reader.ExportFaults(), 1u);
  }
  TempDir dir;
};

TEST_F(ReaderTest, LoadsAWellFormedFile) {
  DbcWriter b(18);
  const auto name = b.AddString("Quest");
  b.Record(QuestRecord(7, name)).Record(QuestRecord(9, 0));
  WriteClientFile(dir.path(), "QuestInfo", b.Bytes());
  DBCFile reader;
  bool ok = false;
  EXPECT_EQ(Load(reader, kQuest, &ok), "Open DBC file: dbc\\QuestInfo.dbc\n");
  EXPECT_EQ(reader.Table().RecordCount(), 2u);
  DBCFile from_memory;
  EXPECT_EQ(LoadBytes(from_memory, kQuest, b.Bytes(), &ok), "Open DBC file: dbc\\QuestInfo.dbc\n")
      << "the same lines as from a file";
  ASSERT_TRUE(ok);
  EXPECT_EQ(reader.Table().RecordCount(), 2u);
  EXPECT_EQ(reader.Table().RecordSize(), 72u);
  EXPECT_EQ(reader.Table().FieldCount(), 18u);
  EXPECT_STREQ(reader.Table().StringBlock() + name, "Quest");
  EXPECT_EQ(reader.Table().GetRecord(1)[0], 9);
  EXPECT_EQ(reader.Table().Descriptor(), &kQuest);
  EXPECT_EQ(reader.ExportFaults(), 0u);
}

// -l auto: each table from the slot with the most texts, the lowest of
// those alike; the console names the slot of a table with texts.
TEST_F(ReaderTest, AutoLocaleTakesTheSlotThatHoldsTheTexts) {
  MakeSampleClient(dir.path(), {"--records", "3", "--slot", "Spell:8", "--slot", "Lock:5"});
  DBCFile reader;
  reader.SetAutoLocale();
  bool ok = false;
  EXPECT_EQ(Load(reader, CatalogueEntry("vesk_spell"), &ok),
            "Open DBC file: dbc\\Spell.dbc\nChange locale to: enCN\n");
  ASSERT_TRUE(ok);
  EXPECT_EQ(reader.Table().Locale(), 8u);
  EXPECT_EQ(reader.Table().EmptySlotHint(), "");
  // Every slot alike: the lowest.
  EXPECT_EQ(Load(reader, CatalogueEntry("vesk_quest_info"), &ok),
            "Open DBC file: dbc\\QuestInfo.dbc\nChange locale to: enGB\n");
  EXPECT_EQ(reader.Table().Locale(), 0u);
  // No localized column: no line.
  EXPECT_EQ(Load(reader, CatalogueEntry("vesk_lock"), &ok), "Open DBC file: dbc\\Lock.dbc\n");
  // A slot chosen again is the same for every table.
  reader.SetLocale(2);
  CaptureStdout(
      [&] { InDirectory(dir.path(), [&] { reader.Load(&CatalogueEntry("vesk_spell")); }); });
  EXPECT_EQ(reader.Table().Locale(), 2u);
  EXPECT_NE(reader.Table().EmptySlotHint(), "");
}

TEST_F(ReaderTest, MissingFile) {
  DBCFile reader;
  bool ok = true;
  EXPECT_EQ(Load(reader, kQuest, &ok),
            "Open DBC file: dbc\\QuestInfo.dbc\ndbc\\QuestInfo.dbc not exist\n");
  EXPECT_FALSE(ok);
  EXPECT_FALSE(reader.Table().IsLoaded());
  EXPECT_EQ(reader.ExportFaults(), 1u);
}

// A file that cannot be read is said to be so, with the system's reason,
// not taken for a file of another format.
TEST_F(ReaderTest, AReadErrorIsNamedAsOne) {
  struct Failing : TableSource {
    std::size_t Size() const override { return 4096; }
    std::size_t Read(std::uint8_t*, std::size_t) override { return 0; }
    int Error() const override { return EIO; }
  };
  struct FailingFiles : ClientFiles {
    bool Open(const char*, std::unique_ptr<TableSource>* source, Fault*) override {
      *source = std::make_unique<Failing>();
      return true;
    }
  } files;
  DBCFile reader;
  reader.SetClientFiles(&files);
  bool ok = true;
  EXPECT_EQ(Load(reader, kQuest, &ok),
            "Open DBC file: dbc\\QuestInfo.dbc\ndbc\\QuestInfo.dbc cannot be read: Input/output "
            "error\n");
  EXPECT_FALSE(ok);
}

TEST_F(ReaderTest, RefusesFilesThatAreNotClientTables) {
  for (const std::string& bytes :
       {std::string(""), std::string("WDB"), std::string("WDB2abcdefghijklmnopqrstuvwxyz"),
        std::string("wdbc") + std::string(16, '\0')}) {
    SCOPED_TRACE(bytes.size());
    ExpectRefused(kQuest, bytes, "dbc\\QuestInfo.dbc not dbc file");
  }
}

TEST_F(ReaderTest, WrongFieldCount) {
  DbcWriter b(2);
  b.Record({1, 0});
  ExpectRefused(kQuest, b.Bytes(), "dbc\\QuestInfo.dbc have wrong field Count (2), must be 18");
}

TEST_F(ReaderTest, ZeroRecordsAndNoStringBlockLoad) {
  DbcWriter b(18);
  b.strings.clear();
  DBCFile reader;
  bool ok = false;
  LoadBytes(reader, kQuest, b.Bytes(), &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(reader.Table().IsLoaded());
  EXPECT_EQ(reader.Table().RecordCount(), 0u);
  EXPECT_EQ(reader.Table().StringBlockSize(), 0u);
}

TEST_F(ReaderTest, AFailedSecondLoadLeavesNothingLoaded) {
  DbcWriter b(18);
  b.Record(QuestRecord(1, 0));
  DBCFile reader;
  bool ok = false;
  LoadBytes(reader, kQuest, b.Bytes(), &ok);
  ASSERT_TRUE(reader.Table().IsLoaded());
  Load(reader, kMixed, &ok);  // no such file
  EXPECT_FALSE(ok);
  EXPECT_FALSE(reader.Table().IsLoaded());
}

TEST_F(ReaderTest, RecordsWiderThanTheirFieldsAreAddressedByRecordSize) {
  DbcWriter b(4);
  const auto text = b.AddString("hello");
  b.words = {1, text, 0, 0, 0xAAAAAAAA, 2, 0, 0, 0, 0xBBBBBBBB};
  b.record_count = 2;
  b.record_size_override = 20;
  DBCFile reader;
  bool ok = false;
  LoadBytes(reader, kMixed, b.Bytes(), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(reader.Table().GetRecord(1)[0], 2);
}

TEST_F(ReaderTest, FindsFilesWhoseNameDiffersInCase) {
  DbcWriter b(18);
  b.Record(QuestRecord(1, 0));
  std::filesystem::create_directories(dir / "DBC");
  WriteFile(dir / "DBC/questinfo.DBC", b.Bytes());
  DBCFile reader;
  bool ok = false;
  EXPECT_EQ(Load(reader, kQuest, &ok), "Open DBC file: dbc\\QuestInfo.dbc\n");
  EXPECT_TRUE(ok);
}

// A folder matched only ignoring case must be unique too.
TEST_F(ReaderTest, AFolderMatchedOnlyIgnoringCaseMustBeUnique) {
  DbcWriter b(18);
  b.Record(QuestRecord(1, 0));
  for (const char* folder : {"Dbc", "DBC"}) {
    std::filesystem::create_directories(dir / folder);
    WriteFile(dir / folder + "/QuestInfo.dbc", b.Bytes());
  }
  DBCFile reader;
  bool ok = true;
  EXPECT_EQ(Load(reader, kQuest, &ok),
            "Open DBC file: dbc\\QuestInfo.dbc\ndbc\\QuestInfo.dbc is ambiguous: DBC, Dbc\n");
  EXPECT_FALSE(ok);
}

TEST_F(ReaderTest, ADirectoryIsNotAClientFile) {
  std::filesystem::create_directories(dir / "dbc/QuestInfo.dbc");
  DBCFile reader;
  bool ok = true;
  EXPECT_EQ(Load(reader, kQuest, &ok),
            "Open DBC file: dbc\\QuestInfo.dbc\n"
            "dbc\\QuestInfo.dbc cannot be read: Is a directory\n");
  EXPECT_FALSE(ok);
}

// Damaged files: refused with a line naming the file and the fault.
TEST_F(ReaderTest, HeaderCutShortAfterTheMagic) {
  ExpectRefused(kQuest, std::string("WDBC\x01\0\0\0\x12\0", 10),
                "dbc\\QuestInfo.dbc is truncated: its header needs 20 bytes, the file has 10");
}

TEST_F(ReaderTest, FileShorterThanItsHeaderSays) {
  DbcWriter b(18);
  b.Record(QuestRecord(1, 0)).Record(QuestRecord(2, 0));
  std::string bytes = b.Bytes();
  bytes.resize(bytes.size() - 1);  // the string block's only byte
  ExpectRefused(kQuest, bytes,
                "dbc\\QuestInfo.dbc is truncated: its header needs 165 bytes, the file has 164");
}

TEST_F(ReaderTest, HugeCountsDoNotOverflowTheSizeCheck) {
  DbcWriter b(18);
  b.Record(QuestRecord(1, 0));
  b.record_count_override = 0xFFFFFFFF;
  b.record_size_override = 0xFFFFFFFF;
  DBCFile reader;
  bool ok = true;
  const std::string out = LoadBytes(reader, kQuest, b.Bytes(), &ok);
  EXPECT_NE(
      out.find("dbc\\QuestInfo.dbc is truncated: its header needs 18446744065119617046 bytes"),
      std::string::npos)
      << out;
  EXPECT_FALSE(ok);
}

TEST_F(ReaderTest, RecordSizeSmallerThanItsFields) {
  DbcWriter b(18);
  b.Record(QuestRecord(1, 0));
  b.record_size_override = 68;
  ExpectRefused(kQuest, b.Bytes(),
                "dbc\\QuestInfo.dbc have wrong record Size (68), must be at least 72");
}

TEST_F(ReaderTest, StringOffsetOutsideTheBlock) {
  DbcWriter b(4);
  b.AddString("abc");  // block: "\0abc\0", 5 bytes
  b.Record({1, 1, 0, 0}).Record({2, 0, 5, 0});
  ExpectRefused(kMixed, b.Bytes(),
                "dbc\\Mixed.dbc have wrong string offset (5) in record 1, string block size is 5");
}

// A large table's strings are checked in two halves at once: the first bad
// record of the file is the one named, with or without a second thread, and
// a bad record in the second half alone is found too.
TEST_F(ReaderTest, TheFirstBadRecordOfALargeTableIsNamed) {
  const auto quests = [](std::initializer_list<std::uint32_t> bad) {
    DbcWriter b(18);
    for (std::uint32_t n = 0; n < 8194; ++n)
      b.Record(QuestRecord(n, std::find(bad.begin(), bad.end(), n) == bad.end() ? 0 : 99));
    return b.Bytes();
  };
  const std::string kBad = "dbc\\QuestInfo.dbc have wrong string offset (99) in record ";
  for (bool threads : {true, false}) {
    SCOPED_TRACE(threads ? "two threads" : "no thread");
    std::unique_ptr<RefuseThreadStarts> refuse;
    if (!threads) refuse = std::make_unique<RefuseThreadStarts>();
    ExpectRefused(kQuest, quests({10, 5000}), kBad + "10, string block size is 1");
    ExpectRefused(kQuest, quests({5000}), kBad + "5000, string block size is 1");
  }
}

TEST_F(ReaderTest, StringNotTerminatedInsideTheBlock) {
  DbcWriter b(4);
  b.strings = std::string("\0abc\0xyz", 8);  // "xyz" has no NUL
  b.Record({1, 1, 0, 0}).Record({2, 7, 0, 0});
  ExpectRefused(kMixed, b.Bytes(),
                "dbc\\Mixed.dbc have unterminated string at offset 7 in record 1");
}

TEST_F(ReaderTest, OnlyExportedStringFieldsAreChecked) {
  DbcWriter b(18);
  auto record = QuestRecord(1, 0);
  record[2] = 0xFFFFFFFF;  // slot 1: not exported at locale 0
  b.Record(record);
  {
    DBCFile reader;
    bool ok = false;
    LoadBytes(reader, kQuest, b.Bytes(), &ok);
    EXPECT_TRUE(ok);
  }
  DBCFile reader;
  CaptureStdout([&] { reader.SetLocale(1); });
  bool ok = true;
  EXPECT_NE(LoadBytes(reader, kQuest, b.Bytes(), &ok)
                .find("have wrong string offset (4294967295) in record 0"),
            std::string::npos);
  EXPECT_FALSE(ok);
}

TEST_F(ReaderTest, AFileChangedDuringItsExportIsReportedAndNeverReadOutOfBounds) {
  // 32,000 records of 72 bytes: large enough to be read in place.
  DbcWriter b(18);
  const auto name = b.AddString("Quest");
  for (std::uint32_t id = 1; id <= 32000; ++id) b.Record(QuestRecord(id, name));
  const std::string file = dir / "dbc/QuestInfo.dbc";
  const std::uint32_t far_away = 0xFFFFFFF0;
  const std::pair<const char*, std::function<void(int)>> changes[] = {
      {"cut short", [](int fd) { ASSERT_EQ(::ftruncate(fd, 4096), 0); }},
      {"string offset rewritten",
       [&](int fd) { ASSERT_EQ(::pwrite(fd, &far_away, 4, 20 + 72 * 1500 + 4), 4); }}};
  for (const auto& entry : changes) {
    const auto& change = entry.second;  // (a structured binding cannot be captured in C++20)
    const auto& what = entry.first;
    WriteClientFile(dir.path(), "QuestInfo", b.Bytes());
    const timespec an_hour_ago[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ::utimensat(AT_FDCWD, file.c_str(), an_hour_ago, 0);
    dbcToFILE sink;
    const std::string console = CaptureStdout([&] {
      ASSERT_TRUE(sink.Open((dir / "out.sql").c_str()));
      bool ok = false;
      Load(sink, kQuest, &ok);
      ASSERT_TRUE(ok);
      const int fd = ::open(file.c_str(), O_WRONLY);
      change(fd);
      ::close(fd);
      sink.DumpTable();
      sink.Close();
    });
    EXPECT_NE(console.find("\ndbc\\QuestInfo.dbc changed while it was exported\n"),
              std::string::npos)
        << what << console;
    EXPECT_EQ(sink.ExportFaults(), 1u) << what;
    EXPECT_EQ(sink.RowsWritten(), 32000u) << what << ": every row, from what the file held";
  }
}

TEST(SetLocale, StoresInRangeValuesAndFallsBackToSlotZero) {
  DBCFile reader;
  EXPECT_EQ(CaptureStdout([&] { reader.SetLocale(11); }), "Change locale to: ruRU\n");
  EXPECT_EQ(reader.Table().Locale(), 11u);
  EXPECT_EQ(CaptureStdout([&] { reader.SetLocale(2); }), "Change locale to: deDE\n");
  EXPECT_EQ(CaptureStdout([&] { reader.SetLocale(12); }), "Change locale to: enGB\n");
  EXPECT_EQ(reader.Table().Locale(), 0u);
  EXPECT_EQ(CaptureStdout([&] { reader.SetLocale(-1); }), "Change locale to: enGB\n");
  EXPECT_EQ(CaptureStdout([&] { reader.SetLocale(6); }), "Change locale to: zhCN\n");
  EXPECT_EQ(CaptureStdout([&] { reader.SetLocale(99); }), "Change locale to: enGB\n");
}

TEST(BaseWriter, HasNoOutput) {
  DBCFile reader;
  EXPECT_FALSE(reader.Write("SELECT 1;\n"));
  reader.Close();
  EXPECT_FALSE(reader.DumpTable()) << "nothing loaded";
}

}  // namespace
