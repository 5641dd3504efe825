// The record a table keeps in its comment, on its own: what it says, what
// is not one, and the run id its mark carries.
#include <gtest/gtest.h>

#include <string>

#include "dbc/content_digest.h"
#include "server/table_record.h"

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

}  // namespace
