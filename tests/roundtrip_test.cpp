// The way back without a server: --verify's comparison and --write-dbc's
// client file, driven by rows held in memory in place of a SELECT's.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dbc/dbc_format.h"
#include "dbc/loaded_table.h"
#include "dbc_writer.h"
#include "port/byte_reader.h"
#include "roundtrip/row_matcher.h"
#include "roundtrip/row_source.h"
#include "roundtrip/table_verifier.h"
#include "roundtrip/table_write_back.h"
#include "server/server_session.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

using Row = std::vector<std::optional<std::string>>;

// Rows as a SELECT would give them, in order; std::nullopt is NULL. With
// `failure` set, reading fails after the last row.
class MemoryRows : public RowSource {
 public:
  explicit MemoryRows(std::vector<Row> rows, std::string failure = "")
      : rows_(std::move(rows)), failure_(std::move(failure)) {}
  bool Next(char*** row, const unsigned long** lengths) override {
    if (next_ == rows_.size()) return false;
    values_.clear();
    lengths_.clear();
    for (std::optional<std::string>& value : rows_[next_]) {
      values_.push_back(value ? value->data() : nullptr);
      lengths_.push_back(value ? value->size() : 0);
    }
    ++next_;
    *row = values_.data();
    *lengths = lengths_.data();
    return true;
  }
  std::string Failure() override { return failure_; }

 private:
  std::vector<Row> rows_;
  std::string failure_;
  std::size_t next_ = 0;
  std::vector<char*> values_;
  std::vector<unsigned long> lengths_;
};

// A Languages file (an id and a localized name: slot 0 used, 16 slots and
// the flags) of the records given, in that order.
std::string LanguagesFile(const std::vector<std::pair<std::uint32_t, std::string>>& records) {
  DbcWriter file(18);
  for (const auto& [id, name] : records) {
    std::vector<std::uint32_t> fields(18, 0);
    fields[0] = id;
    fields[1] = file.AddString(name);
    fields[17] = 0xFF01CC;  // the flags, kept as they are
    file.Record(fields);
  }
  return file.Bytes();
}

// A SpellRadius file: an id and three floats.
std::string RadiusFile(const std::vector<std::vector<std::uint32_t>>& records) {
  DbcWriter file(4);
  for (const auto& fields : records) file.Record(fields);
  return file.Bytes();
}

const std::string kLanguages = LanguagesFile({{1, "Common"}, {2, "Orcish"}, {7, "Dwarvish"}});

std::string Verify(const TableDescriptor& descriptor, const std::string& file,
                   std::vector<Row> rows, bool* equal, std::string failure = "") {
  LoadedTable table;
  std::string why;
  EXPECT_TRUE(ReadBytes(table, descriptor, file, &why)) << why;
  RowMatcher matcher;
  matcher.Prepare(table);
  MemoryRows source(std::move(rows), std::move(failure));
  std::string what;
  *equal = TableVerifier::CompareRows(matcher, source, &what);
  return what;
}

TEST(VerifyRows, NamesEachKindOfDifference) {
  const TableDescriptor& languages = CatalogueEntry("vesk_languages");
  struct Case {
    const char* what;
    std::vector<Row> rows;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"equal", {{"1", "Common"}, {"2", "Orcish"}, {"7", "Dwarvish"}}, "equal, 3 rows"},
      {"a text differing in case only",
       {{"1", "Common"}, {"2", "orcish"}, {"7", "Dwarvish"}},
       "1 row differs: id 2 (name)"},
      {"the last key missing", {{"1", "Common"}, {"2", "Orcish"}}, "1 row missing: id 7"},
      {"the first key missing", {{"2", "Orcish"}, {"7", "Dwarvish"}}, "1 row missing: id 1"},
      {"a row after the last key",
       {{"1", "Common"}, {"2", "Orcish"}, {"7", "Dwarvish"}, {"9", "New"}},
       "1 row extra: id 9"},
      {"a row between keys, one missing, one changed",
       {{"1", "Common!"}, {"3", "New"}, {"7", "Dwarvish"}},
       "1 row differs: id 1 (name); 1 row missing: id 2; 1 row extra: id 3"},
      {"NULL",
       {{"1", std::nullopt}, {"2", "Orcish"}, {"7", "Dwarvish"}},
       "1 row differs: id 1 (name)"},
      {"no rows", {}, "3 rows missing: id 1, id 2, id 7"},
  };
  for (const Case& c : cases) {
    bool equal = false;
    EXPECT_EQ(Verify(languages, kLanguages, c.rows, &equal), c.expected) << c.what;
    EXPECT_EQ(equal, c.expected.starts_with("equal")) << c.what;
  }
  // At most three differing values are kept, however many differ (six).
  {
    LoadedTable table;
    std::string why;
    const std::string file = RadiusFile({{1, 0, 0, 0}, {2, 0, 0, 0}});
    ASSERT_TRUE(ReadBytes(table, CatalogueEntry("vesk_spell_radius"), file, &why)) << why;
    RowMatcher matcher;
    matcher.Prepare(table);
    MemoryRows source({{"1", "1", "1", "1"}, {"2", "1", "1", "1"}});
    std::vector<DifferingValue> values;
    std::string what;
    TableVerifier::CompareRows(matcher, source, &what, &values);
    EXPECT_EQ(values.size(), 3u) << what;
  }
  bool equal = true;
  EXPECT_EQ(Verify(languages, kLanguages, {{"1", "Common"}}, &equal, "cannot be read: gone"),
            "cannot be read: gone");
  EXPECT_FALSE(equal);
}

// --diff-sql: the statements that turn the client's rows into the
// database's, written as the script writes values.
TEST(VerifyRows, DiffStatementsTurnTheClientIntoTheDatabase) {
  const TableDescriptor& languages = CatalogueEntry("vesk_languages");
  LoadedTable table;
  std::string why;
  ASSERT_TRUE(ReadBytes(table, languages, kLanguages, &why)) << why;
  RowMatcher matcher;
  matcher.Prepare(table);
  const std::vector<std::pair<std::vector<Row>, std::string>> cases = {
      {{{"1", "Common"}, {"2", "Orcish"}, {"7", "Dwarvish"}}, ""},
      {{{"1", "It's \\ new"}, {"3", "New"}, {"7", std::nullopt}},
       "UPDATE `vesk_languages` SET `name` = 'It\\'s \\\\ new' WHERE `id` = '1';\n"
       "DELETE FROM `vesk_languages` WHERE `id` = '2';\n"
       "INSERT INTO `vesk_languages` VALUES ('3', 'New');\n"
       "UPDATE `vesk_languages` SET `name` = NULL WHERE `id` = '7';\n"},
      {{},
       "DELETE FROM `vesk_languages` WHERE `id` = '1';\n"
       "DELETE FROM `vesk_languages` WHERE `id` = '2';\n"
       "DELETE FROM `vesk_languages` WHERE `id` = '7';\n"},
  };
  DiffStatements diff;
  for (const auto& [rows, expected] : cases) {
    diff.Begin(matcher, "vesk_languages");
    MemoryRows source(rows);
    std::string what;
    TableVerifier::CompareRows(matcher, source, &what, nullptr, &diff);
    EXPECT_EQ(diff.End(), expected) << what;
  }
}

TEST(VerifyRows, FloatsAsTheScriptPrintsThemAndTheSignOfZeroAside) {
  const TableDescriptor& radius = CatalogueEntry("vesk_spell_radius");
  const std::string file = RadiusFile({{1, FloatBits(0.0f), FloatBits(-0.0f), FloatBits(1.5f)}});
  bool equal = false;
  // The server keeps no sign of a zero: "0" for -0.0 is equal.
  EXPECT_EQ(Verify(radius, file, {{"1", "0", "0", "1.5"}}, &equal), "equal, 1 row");
  EXPECT_EQ(Verify(radius, file, {{"1", "0", "0", "1.500001"}}, &equal),
            "1 row differs: id 1 (radius_3)");
}

// The file --write-dbc makes of the rows, read back.
struct Written {
  bool ok = false;
  std::string why, bytes;
  TableWriteBack::Counts counts;
};

Written WriteBack(const TableDescriptor& descriptor, const std::string& file,
                  std::vector<Row> rows) {
  LoadedTable table;
  Written out;
  EXPECT_TRUE(ReadBytes(table, descriptor, file, &out.why)) << out.why;
  ServerSession session{ConnectOptions{}};
  TableWriteBack back(session);
  MemoryRows source(std::move(rows));
  const int fd = ::memfd_create("written", 0);
  out.ok = back.Write(table, source, fd, &out.counts, &out.why);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  out.bytes.resize(static_cast<std::size_t>(size));
  EXPECT_EQ(::pread(fd, out.bytes.data(), out.bytes.size(), 0), size);
  ::close(fd);
  return out;
}

TEST(WriteBackRows, UnchangedRowsGiveTheTemplateByteForByte) {
  const Written same = WriteBack(CatalogueEntry("vesk_languages"), kLanguages,
                                 {{"1", "Common"}, {"2", "Orcish"}, {"7", "Dwarvish"}});
  ASSERT_TRUE(same.ok) << same.why;
  EXPECT_EQ(same.bytes, kLanguages);
  EXPECT_EQ(same.counts.changed + same.counts.added + same.counts.left_out, 0u);
  // A float that prints as the template's keeps its bits (-0.0 here).
  const std::string radius = RadiusFile({{1, FloatBits(0.1f), FloatBits(-0.0f), FloatBits(1e-7f)}});
  const Written floats =
      WriteBack(CatalogueEntry("vesk_spell_radius"), radius, {{"1", "0.1", "0", "0"}});
  ASSERT_TRUE(floats.ok) << floats.why;
  EXPECT_EQ(floats.bytes, radius);
}

TEST(WriteBackRows, RowsAddedAndLeftOutMoveTheRecordsAndTheHeader) {
  // Record 2 goes, 7 changes, 3 and 9 are new: 4 records, new texts after
  // the template's block.
  const Written w = WriteBack(CatalogueEntry("vesk_languages"), kLanguages,
                              {{"1", "Common"}, {"3", "Gnomish"}, {"7", "Dwarven"}, {"9", ""}});
  ASSERT_TRUE(w.ok) << w.why;
  EXPECT_EQ(w.counts.records, 4u);
  EXPECT_EQ(w.counts.changed, 1u);
  EXPECT_EQ(w.counts.added, 2u);
  EXPECT_EQ(w.counts.left_out, 1u);
  const std::string expected_strings =
      std::string("\0Common\0Orcish\0Dwarvish\0Gnomish\0Dwarven\0", 40);
  const std::string expected = [&] {
    std::string bytes(kDbcHeaderSize, '\0');
    StoreDbcHeader(reinterpret_cast<std::uint8_t*>(bytes.data()),
                   {4, 18, 72, static_cast<std::uint32_t>(expected_strings.size())});
    const auto record = [&](std::uint32_t id, std::uint32_t name) {
      std::string r(72, '\0');
      StoreLE32(reinterpret_cast<std::uint8_t*>(r.data()), id);
      StoreLE32(reinterpret_cast<std::uint8_t*>(r.data()) + 4, name);
      StoreLE32(reinterpret_cast<std::uint8_t*>(r.data()) + 68, id == 1 || id == 7 ? 0xFF01CC : 0);
      return r;
    };
    // The template's order (1, 7 with its new text), then the new rows in
    // key order; an empty text is the block's first string.
    return bytes + record(1, 1) + record(7, 32) + record(3, 24) + record(9, 0) + expected_strings;
  }();
  EXPECT_EQ(w.bytes, expected);
}

TEST(WriteBackRows, ValuesTheFileCannotHoldAreRefusedByRowAndColumn) {
  const TableDescriptor& languages = CatalogueEntry("vesk_languages");
  struct Case {
    std::vector<Row> rows;
    std::string why;
  };
  const std::vector<Case> cases = {
      {{{"1", std::nullopt}}, "row id 1, column name: NULL"},
      {{{"1", std::string("a\0b", 3)}},
       "row id 1, column name: the text holds a NUL byte, which a client file cannot"},
      {{{"-1", "x"}}, "row id -1, column id: -1 is out of the range of its unsigned 32-bit field"},
      {{{"4294967296", "x"}},
       "row id 4294967296, column id: 4294967296 is out of the range of its unsigned 32-bit "
       "field"},
      // Bytes from a column the user made a BLOB; a four-byte character is
      // UTF-8 (a utf8mb4 column's), a lone continuation byte is not.
      {{{"1", "caf\xE9"}},
       "row id 1, column name: the text is not UTF-8, which a load of the file would refuse"},
      {{{"1", "A\x80"}},
       "row id 1, column name: the text is not UTF-8, which a load of the file would refuse"},
      // A key twice, once the user dropped the primary key.
      {{{"1", "Common"}, {"2", "Orcish"}, {"2", "Orcish again"}, {"7", "Dwarvish"}},
       "row id 2 is in the database twice, which a load of the file would refuse"},
  };
  for (const Case& c : cases) {
    const Written w = WriteBack(languages, kLanguages, c.rows);
    EXPECT_FALSE(w.ok) << c.why;
    EXPECT_EQ(w.why, c.why);
  }
  const Written signed_out = WriteBack(CatalogueEntry("vesk_spell_cast_time"),
                                       RadiusFile({{1, 0, 0, 0}}), {{"1", "2147483648", "0", "0"}});
  EXPECT_EQ(signed_out.why,
            "row id 1, column time_1: 2147483648 is out of the range of its signed 32-bit field");
  // Text in a number column the user made a text, and a float beyond the
  // float's range, are refused rather than cut.
  EXPECT_EQ(WriteBack(languages, kLanguages, {{"12abc", "x"}}).why,
            "row id 12abc, column id: 12abc is out of the range of its unsigned 32-bit field");
  EXPECT_EQ(WriteBack(CatalogueEntry("vesk_spell_radius"), RadiusFile({{1, 0, 0, 0}}),
                      {{"1", "1e39", "0", "0"}})
                .why,
            "row id 1, column radius_1: 1e39 cannot be stored as a float");
  const Written four_bytes = WriteBack(languages, kLanguages,
                                       {{"1",
                                         "A\xF0\x9F\x98\x80"
                                         "B"},
                                        {"2", "Orcish"},
                                        {"7", "Dwarvish"}});
  EXPECT_TRUE(four_bytes.ok) << four_bytes.why;
}

}  // namespace
