// Statement texts, checked against hand-written golden text.

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "dbc/dbcfile.h"
#include "support/memory_client.h"
#include "support/test_support.h"

namespace {

class StatementTest : public ::testing::Test {
 protected:
  // Loads the client file of `table` into `builder`.
  void Load(const char* table, const DbcWriter& b) {
    bool ok = false;
    CaptureStdout([&] { ok = LoadBytes(builder, &CatalogueEntry(table), b.Bytes()); });
    ASSERT_TRUE(ok);
  }

  DBCFile builder;
};

TEST_F(StatementTest, DropTable) {
  DbcWriter b(4);
  Load("vesk_spell_cast_time", b);
  EXPECT_STREQ(builder.BuildDropTable(), "DROP TABLE IF EXISTS `vesk_spell_cast_time`;\n");
}

TEST_F(StatementTest, CreateTableOfAFourColumnTable) {
  DbcWriter b(4);
  Load("vesk_spell_cast_time", b);
  EXPECT_STREQ(builder.BuildCreateTable(),
               "CREATE TABLE `vesk_spell_cast_time`(\n"
               "  `id` int(10) unsigned NOT NULL,\n"
               "  `time_1` int(11) NOT NULL,\n"
               "  `time_2` int(11) NOT NULL,\n"
               "  `time_3` int(11) NOT NULL,\n"
               "  PRIMARY KEY  (`id`)\n"
               ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n");
}

TEST_F(StatementTest, SkippedColumnsLeaveNoTrace) {
  DbcWriter b(25);
  std::vector<std::uint32_t> r(25, 0xDEADBEEF);
  r[0] = 42;
  r[5] = b.AddString("INV_Sword_01");
  b.Record(r);
  Load("vesk_itemicon", b);
  EXPECT_STREQ(builder.BuildCreateTable(),
               "CREATE TABLE `vesk_itemicon`(\n"
               "  `id` int(10) unsigned NOT NULL,\n"
               "  `name` text NOT NULL,\n"
               "  PRIMARY KEY  (`id`)\n"
               ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n");
  EXPECT_STREQ(builder.BuildInsert(0),
               "INSERT INTO `vesk_itemicon` VALUES ('42', 'INV_Sword_01');\n");
}

TEST_F(StatementTest, CompositePrimaryKeyInColumnOrder) {
  DbcWriter b(14);
  b.Record({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 2147483648u, 4294967295u});
  Load("vesk_faction_template", b);
  EXPECT_STREQ(builder.BuildCreateTable(),
               "CREATE TABLE `vesk_faction_template`(\n"
               "  `id` int(10) unsigned NOT NULL,\n"
               "  `faction` int(10) unsigned NOT NULL,\n"
               "  `fightSupport` int(10) unsigned NOT NULL,\n"
               "  `ourMask` int(10) unsigned NOT NULL,\n"
               "  `friendlyMask` int(10) unsigned NOT NULL,\n"
               "  `hostileMask` int(10) unsigned NOT NULL,\n"
               "  `enemyFaction1` int(10) unsigned NOT NULL,\n"
               "  `enemyFaction2` int(10) unsigned NOT NULL,\n"
               "  `enemyFaction3` int(10) unsigned NOT NULL,\n"
               "  `enemyFaction4` int(10) unsigned NOT NULL,\n"
               "  `friendFaction1` int(10) unsigned NOT NULL,\n"
               "  `friendFaction2` int(10) unsigned NOT NULL,\n"
               "  `friendFaction3` int(10) unsigned NOT NULL,\n"
               "  `friendFaction4` int(10) unsigned NOT NULL,\n"
               "  PRIMARY KEY  (`id`, `faction`)\n"
               ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n");
  EXPECT_STREQ(builder.BuildInsert(0),
               "INSERT INTO `vesk_faction_template` VALUES ('1', '2', '3', '4', '5', "
               "'6', '7', '8', '9', '10', '11', '12', '2147483648', '4294967295');\n");
}

TEST_F(StatementTest, InsertOfSignedValues) {
  DbcWriter b(4);
  b.Record({1, 0xFFFFFFFF, 0, 2147483647}).Record({2, 0x80000000, 100, 0xFFFFFF9C});
  Load("vesk_spell_cast_time", b);
  EXPECT_STREQ(builder.BuildInsert(0),
               "INSERT INTO `vesk_spell_cast_time` VALUES ('1', '-1', '0', '2147483647');\n");
  EXPECT_STREQ(builder.BuildInsert(1),
               "INSERT INTO `vesk_spell_cast_time` VALUES ('2', '-2147483648', '100', '-100');\n");
}

TEST_F(StatementTest, InsertOfFloats) {
  DbcWriter b(4);
  b.Record({3, FloatBits(0.1f), FloatBits(1.0e10f), FloatBits(-0.0f)});
  Load("vesk_spell_radius", b);
  EXPECT_STREQ(builder.BuildInsert(0),
               "INSERT INTO `vesk_spell_radius` VALUES ('3', '0.100000', "
               "'10000000000.000000', '-0.000000');\n");
}

TEST_F(StatementTest, PathColumnsExportTheirLastComponent) {
  DbcWriter b(2);
  b.Record({1, b.AddString("Interface\\Icons\\Spell_Fire_Fireball")});
  b.Record({2, b.AddString("NoFolder")});
  b.Record({3, 0});
  b.Record({4, b.AddString("Interface\\Icons\\")});
  b.Record({5, b.AddString("Interface\\It's")});
  Load("vesk_spellicon", b);
  EXPECT_STREQ(builder.BuildInsert(0),
               "INSERT INTO `vesk_spellicon` VALUES ('1', 'Spell_Fire_Fireball');\n");
  EXPECT_STREQ(builder.BuildInsert(1), "INSERT INTO `vesk_spellicon` VALUES ('2', 'NoFolder');\n");
  EXPECT_STREQ(builder.BuildInsert(2), "INSERT INTO `vesk_spellicon` VALUES ('3', '');\n");
  EXPECT_STREQ(builder.BuildInsert(3), "INSERT INTO `vesk_spellicon` VALUES ('4', 'Icons\\\\');\n");
  EXPECT_STREQ(builder.BuildInsert(4), "INSERT INTO `vesk_spellicon` VALUES ('5', 'It\\'s');\n");
}

TEST_F(StatementTest, LocalizedStringsExportTheChosenSlot) {
  DbcWriter b(18);
  std::vector<std::uint32_t> r(18, 0);
  r[0] = 9;
  r[1] = b.AddString("Fire");
  r[4] = b.AddString("Feu \"chaud\"");
  r[12] = b.AddString("Огонь");
  r[17] = 0x12345678;  // flags word, never read
  b.Record(r);
  CaptureStdout([&] { builder.SetLocale(3); });
  Load("vesk_quest_info", b);
  EXPECT_STREQ(builder.BuildInsert(0),
               "INSERT INTO `vesk_quest_info` VALUES ('9', 'Feu \\\"chaud\\\"');\n");
  CaptureStdout([&] { builder.SetLocale(11); });
  Load("vesk_quest_info", b);
  EXPECT_STREQ(builder.BuildInsert(0), "INSERT INTO `vesk_quest_info` VALUES ('9', 'Огонь');\n");
  CaptureStdout([&] { builder.SetLocale(1); });
  Load("vesk_quest_info", b);
  EXPECT_STREQ(builder.BuildInsert(0), "INSERT INTO `vesk_quest_info` VALUES ('9', '');\n");
}

TEST_F(StatementTest, ARowLongerThanTheBufferSoFar) {
  DbcWriter b(18);
  std::vector<std::uint32_t> r(18, 0);
  r[0] = 9;
  const std::string text(100000, 'x');
  r[1] = b.AddString(text + "'");
  b.Record(r);
  Load("vesk_quest_info", b);
  EXPECT_EQ(builder.BuildInsert(0),
            "INSERT INTO `vesk_quest_info` VALUES ('9', '" + text + "\\'');\n");
}

TEST_F(StatementTest, SpellCreateTable) {
  DbcWriter b(239);
  Load("vesk_spell", b);
  const std::string create = builder.BuildCreateTable();
  EXPECT_EQ(create.size(), 8700u);
  EXPECT_EQ(create.rfind("CREATE TABLE `vesk_spell`(\n  `id` int(10) unsigned NOT NULL,\n"
                         "  `Category` int(10) unsigned NOT NULL,\n",
                         0),
            0u);
  EXPECT_EQ(CountOf(create, " NOT NULL,\n"), 175u);
  EXPECT_EQ(CountOf(create, " int(11) NOT NULL"), 24u);
  EXPECT_EQ(CountOf(create, " float NOT NULL"), 19u);
  EXPECT_EQ(CountOf(create, " text NOT NULL"), 4u);
  EXPECT_NE(create.find("  `Reagent_1` int(11) NOT NULL,\n"), std::string::npos);
  EXPECT_NE(create.find("  `Effect_1` int(10) unsigned NOT NULL,\n"), std::string::npos);
  const std::string tail =
      "  `spellDescriptionVariableID` int(10) unsigned NOT NULL,\n"
      "  PRIMARY KEY  (`id`),\n"
      "  KEY `idx_reagent1` (`Reagent_1`),\n  KEY `idx_reagent2` (`Reagent_2`),\n"
      "  KEY `idx_reagent3` (`Reagent_3`),\n  KEY `idx_reagent4` (`Reagent_4`),\n"
      "  KEY `idx_reagent5` (`Reagent_5`),\n  KEY `idx_reagent6` (`Reagent_6`),\n"
      "  KEY `idx_reagent7` (`Reagent_7`),\n  KEY `idx_reagent8` (`Reagent_8`),\n"
      "  KEY `idx_effect1` (`Effect_1`),\n  KEY `idx_effect2` (`Effect_2`),\n"
      "  KEY `idx_effect3` (`Effect_3`),\n"
      "  KEY `idx_aura1` (`EffectApplyAuraName_1`),\n"
      "  KEY `idx_aura2` (`EffectApplyAuraName_2`),\n"
      "  KEY `idx_aura3` (`EffectApplyAuraName_3`),\n"
      "  KEY `idx_item1` (`EffectItemType_1`),\n  KEY `idx_item2` (`EffectItemType_2`),\n"
      "  KEY `idx_item3` (`EffectItemType_3`),\n"
      "  KEY `idx_misc1` (`EffectMiscValue_1`),\n  KEY `idx_misc2` (`EffectMiscValue_2`),\n"
      "  KEY `idx_misc3` (`EffectMiscValue_3`)\n"
      ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n";
  ASSERT_GE(create.size(), tail.size());
  EXPECT_EQ(create.substr(create.size() - tail.size()), tail);
}

TEST_F(StatementTest, SpellInsertReadsTheLocaleSlotOfEachString) {
  DbcWriter b(239);
  std::vector<std::uint32_t> r(239, 7);
  r[0] = 133;
  for (std::uint32_t base : {142u, 159u, 176u, 193u})
    for (std::uint32_t slot = 0; slot < 17; ++slot) r[base + slot] = 0;
  r[142] = b.AddString("Fireball");
  r[193] = b.AddString("Hurls a 'fiery' ball");
  r[153] = b.AddString("Огненный шар");
  r[204] = b.AddString("Tooltip ruRU");
  r[238] = 4242;
  b.Record(r);
  Load("vesk_spell", b);
  std::string insert = builder.BuildInsert(0);
  EXPECT_EQ(insert.rfind("INSERT INTO `vesk_spell` VALUES ('133', '7', ", 0), 0u);
  EXPECT_NE(insert.find("'7', 'Fireball', '', '', 'Hurls a \\'fiery\\' ball', '7'"),
            std::string::npos);
  // Field 237 is a float column: the word 7 is a tiny denormal.
  EXPECT_TRUE(insert.ends_with("'0.000000', '4242');\n"));
  EXPECT_EQ(CountOf(insert, "', '"), 174u) << "175 values";
  CaptureStdout([&] { builder.SetLocale(11); });
  Load("vesk_spell", b);
  insert = builder.BuildInsert(0);
  EXPECT_NE(insert.find("'7', 'Огненный шар', '', '', 'Tooltip ruRU', '7'"), std::string::npos);
}

TEST_F(StatementTest, CreateDatabaseQuotesTheNameAsAnIdentifier) {
  EXPECT_STREQ(builder.BuildCreateDatabase("world"),
               "CREATE DATABASE `world` DEFAULT CHARACTER SET utf8 COLLATE utf8_general_ci;");
  EXPECT_STREQ(builder.BuildCreateDatabase("my db"),
               "CREATE DATABASE `my db` DEFAULT CHARACTER SET utf8 COLLATE utf8_general_ci;");
  EXPECT_STREQ(builder.BuildCreateDatabase("a`b"),
               "CREATE DATABASE `a``b` DEFAULT CHARACTER SET utf8 COLLATE utf8_general_ci;");
}

}  // namespace
