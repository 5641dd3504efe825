#include "catalogue/catalogue.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "dbc/client_files.h"
#include "dbc/host_path.h"

namespace {
using namespace catalogue_detail;

constexpr ColumnDescriptor kAchievementColumns[] = {
    U("id", PK),      I("factionFlag"), I("mapID"),  U("parentAchievement"), S("name"),
    S("description"), U("categoryId"),  U("points"), U("OrderInCategory"),   U("flags"),
    U("iconId"),      S("titleReward"), U("count"),  U("refAchievement")};
constexpr TableDescriptor kAchievement =
    Table("dbc\\Achievement.dbc", "vesk_achievement", kAchievementColumns);

constexpr ColumnDescriptor kAchievementCategoryColumns[] = {U("id", PK), I("parent"), S("name"),
                                                            U("sortOrder")};
constexpr TableDescriptor kAchievementCategory = Table(
    "dbc\\Achievement_Category.dbc", "vesk_achievement_category", kAchievementCategoryColumns);

constexpr ColumnDescriptor kAchievementCriteriaColumns[] = {U("id", PK),
                                                            I("referredAchievement", PK),
                                                            U("requiredType"),
                                                            U("data"),
                                                            U("value"),
                                                            U("additional_type_1"),
                                                            U("additional_value_1"),
                                                            U("additional_type_2"),
                                                            U("additional_value_2"),
                                                            S("name"),
                                                            U("completionFlag"),
                                                            U("groupFlag"),
                                                            U("unk1"),
                                                            U("timeLimit"),
                                                            U("order")};
constexpr TableDescriptor kAchievementCriteria = Table(
    "dbc\\Achievement_Criteria.dbc", "vesk_achievement_criteria", kAchievementCriteriaColumns);

constexpr ColumnDescriptor kChrClassesColumns[] = {
    U("id", PK),       U("unk_1"),       U("power_type"),   U("unk_3"),
    S("name"),         S("female_name"), S("neutral_name"), T("internal_name"),
    U("spell_family"), U("unk_9"),       U("cinematic_id"), U("expansion")};
constexpr TableDescriptor kChrClasses =
    Table("dbc\\ChrClasses.dbc", "vesk_chr_classes", kChrClassesColumns);

constexpr ColumnDescriptor kChrRacesColumns[] = {
    U("id", PK),      U("unk_1"),         U("facton_id"),    U("unk_4"),  U("model_m"),
    U("model_f"),     T("short_name"),    U("unk_8"),        U("unk_9"),  U("unk_10"),
    U("unk_11"),      T("internal_name"), U("cinematic_id"), U("team"),   S("name"),
    S("female_name"), S("neutral_name"),  T("unk_18"),       T("unk_19"), T("unk_20"),
    U("expansion")};
constexpr TableDescriptor kChrRaces =
    Table("dbc\\ChrRaces.dbc", "vesk_chr_races", kChrRacesColumns);

constexpr ColumnDescriptor kCreatureTypeColumns[] = {U("id", PK), S("name"), U("no_expirience")};
constexpr TableDescriptor kCreatureType =
    Table("dbc\\CreatureType.dbc", "vesk_creature_type", kCreatureTypeColumns);

constexpr ColumnDescriptor kCreatureFamilyColumns[] = {
    U("id", PK),          F("minScale"),     U("minScaleLevel"), F("maxScale"),
    U("maxScaleLevel"),   U("skill_line_1"), U("skill_line_2"),  U("pet_food_mask"),
    I("pet_talent_type"), I("category"),     S("name"),          K("icon")};
constexpr TableDescriptor kCreatureFamily =
    Table("dbc\\CreatureFamily.dbc", "vesk_creature_family", kCreatureFamilyColumns);

constexpr ColumnDescriptor kFactionColumns[] = {U("id", PK),
                                                I("reputationListID"),
                                                U("BaseRepRaceMask_0"),
                                                U("BaseRepRaceMask_1"),
                                                U("BaseRepRaceMask_2"),
                                                U("BaseRepRaceMask_3"),
                                                U("BaseRepClassMask_0"),
                                                U("BaseRepClassMask_1"),
                                                U("BaseRepClassMask_2"),
                                                U("BaseRepClassMask_3"),
                                                I("BaseRepValue_0"),
                                                I("BaseRepValue_1"),
                                                I("BaseRepValue_2"),
                                                I("BaseRepValue_3"),
                                                U("ReputationFlags_0"),
                                                U("ReputationFlags_1"),
                                                U("ReputationFlags_2"),
                                                U("ReputationFlags_3"),
                                                I("team"),
                                                S("name"),
                                                S("details")};
constexpr TableDescriptor kFaction = Table("dbc\\Faction.dbc", "vesk_faction", kFactionColumns);

constexpr ColumnDescriptor kFactionTemplateColumns[] = {
    U("id", PK),         U("faction", PK),   U("fightSupport"),   U("ourMask"),
    U("friendlyMask"),   U("hostileMask"),   U("enemyFaction1"),  U("enemyFaction2"),
    U("enemyFaction3"),  U("enemyFaction4"), U("friendFaction1"), U("friendFaction2"),
    U("friendFaction3"), U("friendFaction4")};
constexpr TableDescriptor kFactionTemplate =
    Table("dbc\\FactionTemplate.dbc", "vesk_faction_template", kFactionTemplateColumns);

constexpr ColumnDescriptor kGemPropertiesColumns[] = {U("id", PK), U("spellitemenchantement"),
                                                      I("unk_1"), I("unk_2"), I("color")};
constexpr TableDescriptor kGemProperties =
    Table("dbc\\GemProperties.dbc", "vesk_gemproperties", kGemPropertiesColumns);

constexpr ColumnDescriptor kGlyphPropertiesColumns[] = {U("id", PK), U("SpellId"), U("TypeFlags"),
                                                        U("iconId")};
constexpr TableDescriptor kGlyphProperties =
    Table("dbc\\GlyphProperties.dbc", "vesk_glyphproperties", kGlyphPropertiesColumns);

constexpr ColumnDescriptor kSpellItemEnchantmentColumns[] = {U("id", PK),
                                                             U("charges"),
                                                             I("display_type_1"),
                                                             I("display_type_2"),
                                                             I("display_type_3"),
                                                             I("amount_1"),
                                                             I("amount_2"),
                                                             I("amount_3"),
                                                             I("amount1_1"),
                                                             I("amount1_2"),
                                                             I("amount1_3"),
                                                             U("spellid_1"),
                                                             U("spellid_2"),
                                                             U("spellid_3"),
                                                             S("description"),
                                                             U("aura_id"),
                                                             U("slot"),
                                                             U("GemID"),
                                                             U("EnchantmentCondition"),
                                                             U("requiredSkill"),
                                                             U("requiredSkillRank"),
                                                             I("requiredLevel")};
constexpr TableDescriptor kSpellItemEnchantment =
    Table("dbc\\SpellItemEnchantment.dbc", "vesk_item_enchantment", kSpellItemEnchantmentColumns);

constexpr ColumnDescriptor kItemExtendedCostColumns[] = {
    U("id", PK),         U("reqhonorpoints"), U("reqarenapoints"),
    I("unk_3"),          U("reqitem_1"),      U("reqitem_2"),
    U("reqitem_3"),      U("reqitem_4"),      U("reqitem_5"),
    U("reqitemcount_1"), U("reqitemcount_2"), U("reqitemcount_3"),
    U("reqitemcount_4"), U("reqitemcount_5"), U("reqpersonalarenarating"),
    I("unk_15")};
constexpr TableDescriptor kItemExtendedCost =
    Table("dbc\\ItemExtendedCost.dbc", "vesk_item_ex_cost", kItemExtendedCostColumns);

constexpr ColumnDescriptor kItemRandomPropertiesColumns[] = {
    U("id", PK),      U("EnchantID_1"), U("EnchantID_2"), U("EnchantID_3"),
    U("EnchantID_4"), U("EnchantID_5"), U("EnchantID_6"), S("name")};
constexpr TableDescriptor kItemRandomProperties = Table(
    "dbc\\ItemRandomProperties.dbc", "vesk_item_random_propety", kItemRandomPropertiesColumns);

constexpr ColumnDescriptor kItemRandomSuffixColumns[] = {
    U("id", PK),      S("name"),        T("comment"),     U("EnchantID_1"), U("EnchantID_2"),
    U("EnchantID_3"), U("EnchantID_4"), U("EnchantID_5"), U("Prefix_1"),    U("Prefix_2"),
    U("Prefix_3"),    U("Prefix_4"),    U("Prefix_5")};
constexpr TableDescriptor kItemRandomSuffix =
    Table("dbc\\ItemRandomSuffix.dbc", "vesk_item_random_suffix", kItemRandomSuffixColumns);

constexpr ColumnDescriptor kItemDisplayInfoColumns[] = {
    U("id", PK), X(), X(), X(), X(), T("name"), X(), X(), X(), X(), X(), X(), X(),
    X(),         X(), X(), X(), X(), X(),       X(), X(), X(), X(), X(), X()};
constexpr TableDescriptor kItemDisplayInfo =
    Table("dbc\\ItemDisplayInfo.dbc", "vesk_itemicon", kItemDisplayInfoColumns);

constexpr ColumnDescriptor kItemSetColumns[] = {
    U("id", PK),         S("name"),    U("item_1"),  U("item_2"),  U("item_3"),  U("item_4"),
    U("item_5"),         U("item_6"),  U("item_7"),  U("item_8"),  U("item_9"),  U("item_10"),
    U("item_11"),        U("item_12"), U("item_13"), U("item_14"), U("item_15"), U("item_16"),
    U("item_17"),        U("spell_1"), U("spell_2"), U("spell_3"), U("spell_4"), U("spell_5"),
    U("spell_6"),        U("spell_7"), U("spell_8"), U("count_1"), U("count_2"), U("count_3"),
    U("count_4"),        U("count_5"), U("count_6"), U("count_7"), U("count_8"), U("req_skill"),
    U("req_skill_value")};
constexpr TableDescriptor kItemSet = Table("dbc\\ItemSet.dbc", "vesk_itemset", kItemSetColumns);

constexpr ColumnDescriptor kLanguagesColumns[] = {U("id", PK), S("name")};
constexpr TableDescriptor kLanguages =
    Table("dbc\\Languages.dbc", "vesk_languages", kLanguagesColumns);

constexpr ColumnDescriptor kLockColumns[] = {
    U("id", PK),     U("keytype_0"),  U("keytype_1"),  U("keytype_2"),  U("keytype_3"),
    U("keytype_4"),  U("keytype_5"),  U("keytype_6"),  U("keytype_7"),  U("key_0"),
    U("key_1"),      U("key_2"),      U("key_3"),      U("key_4"),      U("key_5"),
    U("key_6"),      U("key_7"),      U("reqskill_0"), U("reqskill_1"), U("reqskill_2"),
    U("reqskill_3"), U("reqskill_4"), U("reqskill_5"), U("reqskill_6"), U("reqskill_7"),
    U("action_0"),   U("action_1"),   U("action_2"),   U("action_3"),   U("action_4"),
    U("action_5"),   U("action_6"),   U("action_7")};
constexpr TableDescriptor kLock = Table("dbc\\Lock.dbc", "vesk_lock", kLockColumns);

constexpr ColumnDescriptor kLockTypeColumns[] = {U("id", PK), S("name"), S("help"), S("tip"),
                                                 T("cursor")};
constexpr TableDescriptor kLockType =
    Table("dbc\\LockType.dbc", "vesk_lock_type", kLockTypeColumns);

constexpr ColumnDescriptor kQuestInfoColumns[] = {U("id", PK), S("name")};
constexpr TableDescriptor kQuestInfo =
    Table("dbc\\QuestInfo.dbc", "vesk_quest_info", kQuestInfoColumns);

constexpr ColumnDescriptor kQuestSortColumns[] = {U("id", PK), S("name")};
constexpr TableDescriptor kQuestSort =
    Table("dbc\\QuestSort.dbc", "vesk_quest_sort", kQuestSortColumns);

constexpr ColumnDescriptor kRandPropPointsColumns[] = {
    U("itemlevel", PK), U("epic_0"),     U("epic_1"),     U("epic_2"),
    U("epic_3"),        U("epic_4"),     U("rare_0"),     U("rare_1"),
    U("rare_2"),        U("rare_3"),     U("rare_4"),     U("uncommon_0"),
    U("uncommon_1"),    U("uncommon_2"), U("uncommon_3"), U("uncommon_4")};
constexpr TableDescriptor kRandPropPoints =
    Table("dbc\\RandPropPoints.dbc", "vesk_random_property_points", kRandPropPointsColumns);

constexpr ColumnDescriptor kScalingStatDistributionColumns[] = {
    U("id", PK),      I("statmod_1"),  I("statmod_2"),  I("statmod_3"),  I("statmod_4"),
    I("statmod_5"),   I("statmod_6"),  I("statmod_7"),  I("statmod_8"),  I("statmod_9"),
    I("statmod_10"),  U("modifier_1"), U("modifier_2"), U("modifier_3"), U("modifier_4"),
    U("modifier_5"),  U("modifier_6"), U("modifier_7"), U("modifier_8"), U("modifier_9"),
    U("modifier_10"), U("maxlevel")};
constexpr TableDescriptor kScalingStatDistribution =
    Table("dbc\\ScalingStatDistribution.dbc", "vesk_scaling_stat_distribution",
          kScalingStatDistributionColumns);

constexpr ColumnDescriptor kScalingStatValuesColumns[] = {U("id"),
                                                          U("level", PK),
                                                          I("multiplier_1"),
                                                          I("multiplier_2"),
                                                          I("multiplier_3"),
                                                          I("multiplier_4"),
                                                          I("multiplier_5"),
                                                          I("multiplier_6"),
                                                          I("multiplier_7"),
                                                          I("multiplier_8"),
                                                          I("multiplier_9"),
                                                          I("multiplier_10"),
                                                          I("multiplier_11"),
                                                          I("multiplier_12"),
                                                          I("multiplier_13"),
                                                          I("multiplier_14"),
                                                          I("multiplier_15"),
                                                          I("multiplier_16"),
                                                          I("multiplier_17"),
                                                          I("multiplier_18"),
                                                          I("multiplier_19"),
                                                          I("multiplier_20"),
                                                          I("multiplier_21"),
                                                          I("multiplier_22")};
constexpr TableDescriptor kScalingStatValues =
    Table("dbc\\ScalingStatValues.dbc", "vesk_scaling_stat_values", kScalingStatValuesColumns);

constexpr ColumnDescriptor kSkillLineColumns[] = {U("id", PK),        U("Category"),    U("Unk1"),
                                                  S("Name"),          S("Description"), U("iconId"),
                                                  S("alternateVerb"), U("canLink")};
constexpr TableDescriptor kSkillLine =
    Table("dbc\\SkillLine.dbc", "vesk_skill_line", kSkillLineColumns);

constexpr ColumnDescriptor kSkillLineAbilityColumns[] = {U("id", PK),
                                                         U("skillId"),
                                                         U("spellId"),
                                                         U("RaceMask"),
                                                         U("ClassMask"),
                                                         U("RaceMaskNot"),
                                                         U("ClassMaskNot"),
                                                         U("req_skill_value"),
                                                         U("forward_spellid"),
                                                         U("LearnOnGetSkill"),
                                                         U("max_value"),
                                                         U("min_value"),
                                                         U("characterPoints_1"),
                                                         U("characterPoints_2")};
constexpr TableDescriptor kSkillLineAbility =
    Table("dbc\\SkillLineAbility.dbc", "vesk_skill_line_ability", kSkillLineAbilityColumns);

constexpr ColumnDescriptor kSkillLineCategoryColumns[] = {U("id", PK), S("name"), U("order")};
constexpr TableDescriptor kSkillLineCategory =
    Table("dbc\\SkillLineCategory.dbc", "vesk_skill_line_category", kSkillLineCategoryColumns);

constexpr ColumnDescriptor kSkillRaceClassInfoColumns[] = {
    U("Id", PK), U("skillId"),  U("raceMask"),   U("classMask"),
    U("flags"),  U("reqLevel"), U("skillTiers"), U("skillCost")};
constexpr TableDescriptor kSkillRaceClassInfo =
    Table("dbc\\SkillRaceClassInfo.dbc", "vesk_skill_race_class_info", kSkillRaceClassInfoColumns);

constexpr ColumnDescriptor kSpellShapeshiftFormColumns[] = {
    U("id", PK), I("buttonPosition"), S("name"),    U("flags"), I("creatureType"),
    U("unk1"),   U("attackSpeed"),    U("modelID"), U("unk2"),  U("unk3"),
    U("unk4"),   U("unk5"),           U("unk6"),    U("unk7"),  U("unk8"),
    U("unk9"),   U("unk10"),          U("unk11"),   U("unk12")};
constexpr TableDescriptor kSpellShapeshiftForm =
    Table("dbc\\SpellShapeshiftForm.dbc", "vesk_spell_shapeshift", kSpellShapeshiftFormColumns);

constexpr ColumnDescriptor kSpellCastTimesColumns[] = {U("id", PK), I("time_1"), I("time_2"),
                                                       I("time_3")};
constexpr TableDescriptor kSpellCastTimes =
    Table("dbc\\SpellCastTimes.dbc", "vesk_spell_cast_time", kSpellCastTimesColumns);

constexpr ColumnDescriptor kSpellDispelTypeColumns[] = {U("id", PK), S("name"), U("dispellMask"),
                                                        U("unk1"), U("unk2")};
constexpr TableDescriptor kSpellDispelType =
    Table("dbc\\SpellDispelType.dbc", "vesk_spell_dispel_type", kSpellDispelTypeColumns);

constexpr ColumnDescriptor kSpellDurationColumns[] = {U("id", PK), I("duration_1"), I("duration_2"),
                                                      I("duration_3")};
constexpr TableDescriptor kSpellDuration =
    Table("dbc\\SpellDuration.dbc", "vesk_spell_duration", kSpellDurationColumns);

constexpr ColumnDescriptor kSpellRadiusColumns[] = {U("id", PK), F("radius_1"), F("radius_2"),
                                                    F("radius_3")};
constexpr TableDescriptor kSpellRadius =
    Table("dbc\\SpellRadius.dbc", "vesk_spell_radius", kSpellRadiusColumns);

constexpr ColumnDescriptor kSpellFocusObjectColumns[] = {U("id", PK), S("name")};
constexpr TableDescriptor kSpellFocusObject =
    Table("dbc\\SpellFocusObject.dbc", "vesk_spellfocus", kSpellFocusObjectColumns);

constexpr ColumnDescriptor kSpellIconColumns[] = {U("id", PK), K("name")};
constexpr TableDescriptor kSpellIcon =
    Table("dbc\\SpellIcon.dbc", "vesk_spellicon", kSpellIconColumns);

constexpr ColumnDescriptor kTalentColumns[] = {
    U("TalentID", PK), U("TalentTab", PK), U("Row"),     U("Col"),       U("Rank_1"),
    U("Rank_2"),       U("Rank_3"),        U("Rank_4"),  U("Rank_5"),    U("Unk_1"),
    U("Unk_2"),        U("Unk_3"),         U("Unk_4"),   U("DependsOn"), U("Unk_5"),
    U("Unk_6"),        U("DependsOnRank"), U("Unk_7"),   U("Unk_8"),     U("Unk_9"),
    U("Unk_10"),       U("petflag1"),      U("petflag2")};
constexpr TableDescriptor kTalent = Table("dbc\\Talent.dbc", "vesk_talents", kTalentColumns);

constexpr ColumnDescriptor kTalentTabColumns[] = {U("id", PK), S("name"),       U("icon_id"),
                                                  U("unk"),    U("class_mask"), U("pet_mask"),
                                                  U("tab"),    T("bg_image")};
constexpr TableDescriptor kTalentTab =
    Table("dbc\\TalentTab.dbc", "vesk_talent_tab", kTalentTabColumns);

constexpr ColumnDescriptor kTotemCategoryColumns[] = {U("id", PK), S("name"), U("categoryType"),
                                                      U("categoryMask")};
constexpr TableDescriptor kTotemCategory =
    Table("dbc\\TotemCategory.dbc", "vesk_totem_category", kTotemCategoryColumns);

constexpr ColumnDescriptor kAreaTableColumns[] = {
    U("id", PK), U("map_id"), U("zone_id"), U("flag_id"),    U("flags"),  U("unk_5"), U("unk_6"),
    U("unk_7"),  U("unk_8"),  U("unk_9"),   U("area_level"), S("name"),   U("team"),  U("unk_10"),
    U("unk_11"), U("unk_12"), U("unk_13"),  F("unk_14"),     F("unk_15"), U("unk_16")};
constexpr TableDescriptor kAreaTable = Table("dbc\\AreaTable.dbc", "vesk_zones", kAreaTableColumns);

// The export order: every client table, then the merged rating table. A
// table is exported only if it is listed here (the catalogue test checks
// that every descriptor of the catalogue is listed exactly once).
constexpr const TableDescriptor* kOrder[] = {
    &kAchievement,
    &kAchievementCategory,
    &kAchievementCriteria,
    &kChrClasses,
    &kChrRaces,
    &kCreatureType,
    &kCreatureFamily,
    &kFaction,
    &kFactionTemplate,
    &kGemProperties,
    &kGlyphProperties,
    &kSpellItemEnchantment,
    &kItemExtendedCost,
    &kItemRandomProperties,
    &kItemRandomSuffix,
    &kItemDisplayInfo,
    &kItemSet,
    &kLanguages,
    &kLock,
    &kLockType,
    &kQuestInfo,
    &kQuestSort,
    &kRandPropPoints,
    &kScalingStatDistribution,
    &kScalingStatValues,
    &kSkillLine,
    &kSkillLineAbility,
    &kSkillLineCategory,
    &kSkillRaceClassInfo,
    &kSpellTable,
    &kSpellShapeshiftForm,
    &kSpellCastTimes,
    &kSpellDispelType,
    &kSpellDuration,
    &kSpellRadius,
    &kSpellFocusObject,
    &kSpellIcon,
    &kTalent,
    &kTalentTab,
    &kTotemCategory,
    &kAreaTable,
    &kRatingTable,
};

}  // namespace

std::span<const TableDescriptor* const> ExportOrder() { return kOrder; }

std::vector<const char*> ClientFilePaths() {
  std::vector<const char*> paths;
  for (const TableDescriptor* table : ClientTables()) paths.push_back(table->file_path);
  for (const RatingSource& source : RatingSources()) paths.push_back(source.file->file_path);
  return paths;
}

std::string MissingClientFolder() {
  // A client read from its archives has no dbc folder to miss.
  if (&ClientFiles::Active() != &DiskClientFiles::Instance()) return "";
  const HostPath folder = ResolveClientPath("dbc");
  struct stat st;
  if (!folder.ambiguous.empty() || (::stat(folder.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
    return "";
  if (!ClientFolder().empty())
    return "there is no folder dbc in " + ClientFolder() +
           ": --client-dir names the client folder that holds dbc";
  std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), ::free);
  return std::string("there is no folder dbc in ") + (cwd ? cwd.get() : ".") +
         ": run it in the client folder that holds dbc";
}

std::vector<const char*> FilePathsOf(const TableDescriptor& table) {
  if (!IsMergedTable(table)) return {table.file_path};
  std::vector<const char*> paths;
  for (const RatingSource& source : RatingSources()) paths.push_back(source.file->file_path);
  return paths;
}

std::string FilesOf(const TableDescriptor& table) {
  std::string files;
  for (const char* path : FilePathsOf(table))
    files += (files.empty() ? "" : ", ") + std::string(path);
  return files;
}

bool NamesTable(std::string_view name, const TableDescriptor& table) {
  const auto same = [&](std::string_view other) {
    return name.size() == other.size() &&
           ::strncasecmp(name.data(), other.data(), name.size()) == 0;
  };
  const auto file_name = [](const TableDescriptor& t) {
    const std::string_view path = t.file_path;
    return path.substr(path.rfind('\\') + 1);
  };
  // The file name, or its stem ("Spell.dbc", "spell").
  const auto names_file = [&](const TableDescriptor& t) {
    const std::string_view file = file_name(t);
    return same(file) || same(file.substr(0, file.rfind('.')));
  };
  if (same(table.table_name)) return true;
  if (!IsMergedTable(table)) return names_file(table);
  for (const RatingSource& source : RatingSources())
    if (names_file(*source.file)) return true;
  return false;
}
