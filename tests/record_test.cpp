// The record a table keeps in its comment, on its own: what it says, what
// is not one, the run id its mark carries, and the checksum of the rows
// sent.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "dbc/content_digest.h"
#include "dbc/loaded_table.h"
#include "dbc_writer.h"
#include "server/table_record.h"
#include "sql/stored_checksum.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

constexpr char kMark[] = "vesk-dbc2sql run ";

TableRecord Sample() {
  TableRecord r;
  r.run_id = "0a1b2c3d";
  r.file = "dbc\\Spell.dbc";
  r.size = 83420180;
  r.digest = "5f1d0c2e9b7a4e11";
  r.slot = 8;
  r.engine = "InnoDB";
  r.rows = 48000;
  r.checksum = "3798974421";
  r.version = "1.0.0";
  r.loaded = "2026-12-10 00:30:00 UTC";
  return r;
}

TEST(TableRecord, ACommentSaysItAllAndReadsBack) {
  const std::string comment = Sample().Comment(kMark);
  EXPECT_EQ(comment,
            "vesk-dbc2sql run 0a1b2c3d; file=dbc\\Spell.dbc; size=83420180; "
            "xxh3=5f1d0c2e9b7a4e11; slot=8; engine=InnoDB; charset=utf8; rows=48000; "
            "checksum=3798974421; version=1.0.0; loaded=2026-12-10 00:30:00 UTC");
  const auto back = TableRecord::Parse(comment, kMark);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->Comment(kMark), comment);
  EXPECT_TRUE(back->SameSource(Sample()));
  // A field of a later version is passed over; a record made before the
  // character set was kept is utf8, which every load was unless asked.
  EXPECT_TRUE(TableRecord::Parse(comment + "; locale=ruRU", kMark).has_value());
  std::string older = comment;
  older.erase(older.find("; charset=utf8"), std::string("; charset=utf8").size());
  EXPECT_EQ(TableRecord::Parse(older, kMark)->Charset(), "utf8");
  TableRecord wide = Sample();
  wide.charset = "utf8mb4";
  EXPECT_EQ(TableRecord::Parse(wide.Comment(kMark), kMark)->charset, "utf8mb4");
  EXPECT_FALSE(wide.SameSource(Sample()));
}

TEST(TableRecord, WhatIsNotARecord) {
  const std::string good = Sample().Comment(kMark);
  for (const std::string& comment : {
           std::string(""),
           std::string("vesk-dbc2sql run 0a1b2c3d"),  // a staging table's bare mark
           std::string("a user's comment"),
           std::string("vesk-dbc2sql run 0a1b2c3x; file=a"),  // not an id
           good.substr(0, good.find("; checksum")),           // no checksum
           std::string("VESK-DBC2SQL RUN 0a1b2c3d") + good.substr(25),
           good + "; broken",  // a field without its value
       })
    EXPECT_FALSE(TableRecord::Parse(comment, kMark).has_value()) << comment;
  TableRecord other = Sample();
  other.slot = 0;
  EXPECT_FALSE(other.SameSource(Sample()));
  other = Sample();
  other.digest = "5f1d0c2e9b7a4e12";
  EXPECT_FALSE(other.SameSource(Sample()));
}

TEST(TableRecord, TheMarkCarriesTheRunIdAloneOrBeforeARecord) {
  for (const auto& [comment, id] : {std::pair{"vesk-dbc2sql run 0a1b2c3d", "0a1b2c3d"},
                                    {"vesk-dbc2sql run 0a1b2c3d; file=x", "0a1b2c3d"},
                                    {"vesk-dbc2sql run 0a1b2c3dx", ""},
                                    {"vesk-dbc2sql run 0a1b2c", ""},
                                    {"vesk-dbc2sql run zzzzzzzz", ""},
                                    {"backup of vesk-dbc2sql run 0a1b2c3d", ""}})
    EXPECT_EQ(MarkId(comment, kMark), id) << comment;
}

TEST(ContentDigest, KnownValuesAndPieces) {
  // XXH3-64 of "" and of "abc", as the xxhash project gives them.
  EXPECT_EQ(ContentDigest().Hex(), "2d06800538d394c2");
  ContentDigest abc;
  abc.Continue("a", 1);
  abc.Continue("bc", 2);
  EXPECT_EQ(abc.Hex(), "78af5f94892f3950");
}

// The values are MariaDB 10.11's CHECKSUM TABLE of the same rows, sent as
// the tool sends them: a table with texts, and one of floats only (its
// null flags byte first) whose floats are stored from their "%f" texts,
// -0 and a float that rounds to 0.000000 as +0.
TEST(StoredChecksum, SumsWhatTheServerSumsForTheRowsSent) {
  const auto word = [](float f) {
    std::uint32_t w;
    std::memcpy(&w, &f, sizeof w);
    return w;
  };
  DbcWriter languages(18);
  for (const auto& [id, name] : {std::pair{1u, "Common"}, std::pair{2u, "Orcish"}}) {
    std::vector<std::uint32_t> fields(18, 0);
    fields[0] = id;
    fields[1] = languages.AddString(name);
    languages.Record(fields);
  }
  DbcWriter radius(4);
  radius.Record({1, word(0.1f), word(-0.0f), word(2.5e-7f)});
  radius.Record({2, word(1.0000005f), word(123456.789f), word(7.0e-6f)});
  const struct {
    const char* table;
    std::string bytes;
    std::uint32_t checksum;
  } cases[] = {{"vesk_languages", languages.Bytes(), 324579276},
               {"vesk_spell_radius", radius.Bytes(), 2197369063}};
  for (const auto& c : cases) {
    LoadedTable table;
    std::string why;
    ASSERT_TRUE(ReadBytes(table, CatalogueEntry(c.table), c.bytes, &why)) << why;
    EXPECT_EQ(StoredChecksumOf(table), c.checksum) << c.table;
  }
  LoadedTable infinite;
  std::string why;
  DbcWriter inf(4);
  inf.Record({1, word(std::numeric_limits<float>::infinity()), 0, 0});
  ASSERT_TRUE(ReadBytes(infinite, CatalogueEntry("vesk_spell_radius"), inf.Bytes(), &why));
  EXPECT_EQ(StoredChecksumOf(infinite), std::nullopt) << "the server does not store inf as sent";
}

}  // namespace
