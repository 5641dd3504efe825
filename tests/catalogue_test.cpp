// The built-in catalogue against every figure the tool's documentation of
// the client tables states.
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "support/test_support.h"

namespace {

struct Expected {
  const char* file;
  const char* table;
  std::uint32_t columns;
  std::uint32_t fields;
};

// Hand-copied from the export order of the client tables.
const Expected kExpected[] = {
    {"dbc\\Achievement.dbc", "vesk_achievement", 14, 62},
    {"dbc\\Achievement_Category.dbc", "vesk_achievement_category", 4, 20},
    {"dbc\\Achievement_Criteria.dbc", "vesk_achievement_criteria", 15, 31},
    {"dbc\\ChrClasses.dbc", "vesk_chr_classes", 12, 60},
    {"dbc\\ChrRaces.dbc", "vesk_chr_races", 21, 69},
    {"dbc\\CreatureType.dbc", "vesk_creature_type", 3, 19},
    {"dbc\\CreatureFamily.dbc", "vesk_creature_family", 12, 28},
    {"dbc\\Faction.dbc", "vesk_faction", 21, 53},
    {"dbc\\FactionTemplate.dbc", "vesk_faction_template", 14, 14},
    {"dbc\\GemProperties.dbc", "vesk_gemproperties", 5, 5},
    {"dbc\\GlyphProperties.dbc", "vesk_glyphproperties", 4, 4},
    {"dbc\\SpellItemEnchantment.dbc", "vesk_item_enchantment", 22, 38},
    {"dbc\\ItemExtendedCost.dbc", "vesk_item_ex_cost", 16, 16},
    {"dbc\\ItemRandomProperties.dbc", "vesk_item_random_propety", 8, 24},
    {"dbc\\ItemRandomSuffix.dbc", "vesk_item_random_suffix", 13, 29},
    {"dbc\\ItemDisplayInfo.dbc", "vesk_itemicon", 25, 25},
    {"dbc\\ItemSet.dbc", "vesk_itemset", 37, 53},
    {"dbc\\Languages.dbc", "vesk_languages", 2, 18},
    {"dbc\\Lock.dbc", "vesk_lock", 33, 33},
    {"dbc\\LockType.dbc", "vesk_lock_type", 5, 53},
    {"dbc\\QuestInfo.dbc", "vesk_quest_info", 2, 18},
    {"dbc\\QuestSort.dbc", "vesk_quest_sort", 2, 18},
    {"dbc\\RandPropPoints.dbc", "vesk_random_property_points", 16, 16},
    {"dbc\\ScalingStatDistribution.dbc", "vesk_scaling_stat_distribution", 22, 22},
    {"dbc\\ScalingStatValues.dbc", "vesk_scaling_stat_values", 24, 24},
    {"dbc\\SkillLine.dbc", "vesk_skill_line", 8, 56},
    {"dbc\\SkillLineAbility.dbc", "vesk_skill_line_ability", 14, 14},
    {"dbc\\SkillLineCategory.dbc", "vesk_skill_line_category", 3, 19},
    {"dbc\\SkillRaceClassInfo.dbc", "vesk_skill_race_class_info", 8, 8},
    {"dbc\\Spell.dbc", "vesk_spell", 175, 239},
    {"dbc\\SpellShapeshiftForm.dbc", "vesk_spell_shapeshift", 19, 35},
    {"dbc\\SpellCastTimes.dbc", "vesk_spell_cast_time", 4, 4},
    {"dbc\\SpellDispelType.dbc", "vesk_spell_dispel_type", 5, 21},
    {"dbc\\SpellDuration.dbc", "vesk_spell_duration", 4, 4},
    {"dbc\\SpellRadius.dbc", "vesk_spell_radius", 4, 4},
    {"dbc\\SpellFocusObject.dbc", "vesk_spellfocus", 2, 18},
    {"dbc\\SpellIcon.dbc", "vesk_spellicon", 2, 2},
    {"dbc\\Talent.dbc", "vesk_talents", 23, 23},
    {"dbc\\TalentTab.dbc", "vesk_talent_tab", 8, 24},
    {"dbc\\TotemCategory.dbc", "vesk_totem_category", 4, 20},
    {"dbc\\AreaTable.dbc", "vesk_zones", 20, 36},
};

std::vector<std::string> PrimaryKey(const TableDescriptor& t) {
  std::vector<std::string> key;
  for (std::uint32_t c = 0; c < t.column_count; ++c)
    if (t.columns[c].key == Key::kPrimary) key.push_back(t.columns[c].name);
  return key;
}

TEST(Catalogue, ExportsTheClientTablesInOrderThenTheRatingTable) {
  std::vector<std::string> exported;
  for (const TableDescriptor* t : ClientTables()) exported.push_back(t->table_name);
  std::size_t at = 0;
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.table);
    const TableDescriptor& t = CatalogueEntry(e.table);
    EXPECT_STREQ(t.file_path, e.file);
    EXPECT_EQ(t.column_count, e.columns);
    EXPECT_EQ(ExpectedFieldCount(t), e.fields);
    const auto found =
        std::find(exported.begin() + static_cast<std::ptrdiff_t>(at), exported.end(), e.table);
    EXPECT_NE(found, exported.end()) << "exported after the table before it";
    at = static_cast<std::size_t>(found - exported.begin());
  }
  EXPECT_EQ(&CatalogueEntry("vesk_spell"), &kSpellTable);
  EXPECT_EQ(ExportOrder().back(), &kRatingTable);
}

// Every descriptor defined in the catalogue's sources is in the export order
// exactly once: a table left out would never be exported.
TEST(Catalogue, EveryDescriptorIsExportedExactlyOnce) {
  std::set<std::string> defined, listed;
  std::vector<std::string> order;
  const std::regex definition(R"(TableDescriptor (k\w+) =)"), entry(R"(\n\s*&(k\w+),)");
  for (const char* unit : {"catalogue.cpp", "spell.cpp", "rating.cpp"}) {
    const std::string text = ReadFile(std::string(VESK_SOURCE_DIR) + "/src/catalogue/" + unit);
    for (std::sregex_iterator m(text.begin(), text.end(), definition), end; m != end; ++m)
      defined.insert((*m)[1]);
    const std::size_t list = text.find("kOrder[] = {");
    if (list == std::string::npos) continue;
    const std::string body = text.substr(list, text.find("};", list) - list);
    for (std::sregex_iterator m(body.begin(), body.end(), entry), end; m != end; ++m)
      order.push_back((*m)[1]);
  }
  for (const char* source : {"kMeleeCritSource", "kSpellCritSource", "kCombatRatingsSource"})
    EXPECT_EQ(defined.erase(source), 1u) << "rating sources are read by the merge, not listed";
  listed.insert(order.begin(), order.end());
  EXPECT_EQ(listed, defined);
  EXPECT_EQ(order.size(), listed.size()) << "a table listed twice";
  EXPECT_EQ(ExportOrder().size(), order.size());
  std::set<std::string> names, files;
  for (const TableDescriptor* t : ExportOrder()) {
    EXPECT_TRUE(names.insert(t->table_name).second) << t->table_name;
    EXPECT_TRUE(files.insert(t->file_path).second) << t->file_path;
  }
}

TEST(Catalogue, ColumnTotalsByTypeLetter) {
  std::map<char, int> letters;
  int entries = 0, sql_columns = 0;
  for (const Expected& e : kExpected) {
    const TableDescriptor& t = CatalogueEntry(e.table);
    for (std::uint32_t c = 0; c < t.column_count; ++c) {
      ++letters[t.columns[c].type];
      ++entries;
      if (t.columns[c].type != 'x') ++sql_columns;
    }
  }
  EXPECT_EQ(entries, 655);
  EXPECT_EQ(sql_columns, 632);
  EXPECT_EQ(letters['u'], 464);
  EXPECT_EQ(letters['i'], 91);
  EXPECT_EQ(letters['s'], 39);
  EXPECT_EQ(letters['f'], 26);
  EXPECT_EQ(letters['x'], 23);
  EXPECT_EQ(letters['t'], 10);
  EXPECT_EQ(letters['k'], 2);
  EXPECT_EQ(letters.size(), 7u);
}

TEST(Catalogue, NamesAreUniqueAndSkippedColumnsAreBlank) {
  for (const TableDescriptor* t : ExportOrder()) {
    SCOPED_TRACE(t->table_name);
    EXPECT_EQ(std::strncmp(t->table_name, "vesk_", 5), 0);
    std::set<std::string> names;
    for (std::uint32_t c = 0; c < t->column_count; ++c) {
      const ColumnDescriptor& col = t->columns[c];
      if (col.type == 'x') {
        EXPECT_STREQ(col.name, "");
        EXPECT_EQ(col.key, Key::kNone);
        continue;
      }
      EXPECT_TRUE(names.insert(col.name).second) << "duplicate " << col.name;
      EXPECT_EQ(col.key == Key::kIndex, col.index_name != nullptr);
    }
    EXPECT_NE(t->columns[0].type, 'x') << "every table starts with a real column";
  }
}

TEST(Catalogue, PrimaryKeys) {
  using V = std::vector<std::string>;
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_achievement_criteria")),
            (V{"id", "referredAchievement"}));
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_faction_template")), (V{"id", "faction"}));
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_talents")), (V{"TalentID", "TalentTab"}));
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_scaling_stat_values")), (V{"level"}));
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_random_property_points")), (V{"itemlevel"}));
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_skill_race_class_info")), (V{"Id"}));
  EXPECT_EQ(PrimaryKey(CatalogueEntry("vesk_spell")), (V{"id"}));
  EXPECT_EQ(PrimaryKey(kRatingTable), (V{"level"}));
  // Every other client table: the first column alone.
  int single = 0;
  for (const Expected& e : kExpected)
    if (PrimaryKey(CatalogueEntry(e.table)).size() == 1) ++single;
  EXPECT_EQ(single, 38);
}

TEST(Catalogue, ItemDisplayInfoKeepsOnlyIdAndName) {
  const TableDescriptor& t = CatalogueEntry("vesk_itemicon");
  std::string letters;
  for (std::uint32_t c = 0; c < t.column_count; ++c) letters += t.columns[c].type;
  EXPECT_EQ(letters, "uxxxxtxxxxxxxxxxxxxxxxxxx");
  EXPECT_STREQ(t.columns[5].name, "name");
}

TEST(Catalogue, SpellTable) {
  const TableDescriptor& t = kSpellTable;
  std::map<char, int> letters;
  std::vector<std::string> indexes;
  std::uint32_t field = 0;
  std::map<std::string, std::uint32_t> first_field;
  for (std::uint32_t c = 0; c < t.column_count; ++c) {
    ++letters[t.columns[c].type];
    first_field[t.columns[c].name] = field;
    field += t.columns[c].type == 's' ? 17 : 1;
    if (t.columns[c].key == Key::kIndex)
      indexes.push_back(std::string(t.columns[c].index_name) + "=" + t.columns[c].name);
  }
  EXPECT_EQ(letters['u'], 128);
  EXPECT_EQ(letters['i'], 24);
  EXPECT_EQ(letters['f'], 19);
  EXPECT_EQ(letters['s'], 4);
  EXPECT_EQ(field, 239u);
  EXPECT_EQ(first_field["SpellName"], 142u);
  EXPECT_EQ(first_field["Rank"], 159u);
  EXPECT_EQ(first_field["Description"], 176u);
  EXPECT_EQ(first_field["ToolTip"], 193u);
  EXPECT_EQ(first_field["spellDescriptionVariableID"], 238u);
  EXPECT_EQ(first_field["speed"], 47u);
  EXPECT_STREQ(t.columns[174].name, "spellDescriptionVariableID");
  const std::vector<std::string> expected = {"idx_reagent1=Reagent_1",
                                             "idx_reagent2=Reagent_2",
                                             "idx_reagent3=Reagent_3",
                                             "idx_reagent4=Reagent_4",
                                             "idx_reagent5=Reagent_5",
                                             "idx_reagent6=Reagent_6",
                                             "idx_reagent7=Reagent_7",
                                             "idx_reagent8=Reagent_8",
                                             "idx_effect1=Effect_1",
                                             "idx_effect2=Effect_2",
                                             "idx_effect3=Effect_3",
                                             "idx_aura1=EffectApplyAuraName_1",
                                             "idx_aura2=EffectApplyAuraName_2",
                                             "idx_aura3=EffectApplyAuraName_3",
                                             "idx_item1=EffectItemType_1",
                                             "idx_item2=EffectItemType_2",
                                             "idx_item3=EffectItemType_3",
                                             "idx_misc1=EffectMiscValue_1",
                                             "idx_misc2=EffectMiscValue_2",
                                             "idx_misc3=EffectMiscValue_3"};
  EXPECT_EQ(indexes, expected);
}

TEST(Catalogue, RatingTableAndItsSources) {
  EXPECT_STREQ(kRatingTable.table_name, "vesk_rating");
  EXPECT_STREQ(kRatingTable.file_path, "");
  EXPECT_EQ(kRatingTable.column_count, 47u);
  EXPECT_STREQ(kRatingTable.columns[1].name, "MC_Warrior");
  EXPECT_STREQ(kRatingTable.columns[12].name, "SC_Warrior");
  EXPECT_STREQ(kRatingTable.columns[23].name, "CR_WEAPON_SKILL");
  EXPECT_STREQ(kRatingTable.columns[46].name, "CR_EXPERTISE");
  for (const TableDescriptor* s : {&kMeleeCritSource, &kSpellCritSource, &kCombatRatingsSource}) {
    EXPECT_STREQ(s->table_name, "");
    EXPECT_EQ(ExpectedFieldCount(*s), 1u);
    EXPECT_EQ(s->columns[0].type, 'f');
  }
  EXPECT_STREQ(kCombatRatingsSource.file_path, "dbc\\gtCombatRatings.dbc");
}

TEST(ExpectedFieldCount, LocalizedStringsCountSeventeen) {
  const ColumnDescriptor columns[] = {{'s', "name"}, {'u', "id"}};
  EXPECT_EQ(ExpectedFieldCount({"dbc\\A.dbc", "a", 2, columns}), 18u);
  const ColumnDescriptor skipped[] = {{'u', "id"}, {'x', ""}, {'x', ""}};
  EXPECT_EQ(ExpectedFieldCount({"dbc\\B.dbc", "b", 3, skipped}), 3u);
}

}  // namespace
