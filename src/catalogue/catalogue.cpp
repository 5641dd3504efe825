#include "catalogue/catalogue.h"

namespace {
using namespace catalogue_detail;

constexpr ColumnDescriptor kAchievement[] = {
    U("id", PK), I("factionFlag"), I("mapID"), U("parentAchievement"),
    S("name"), S("description"), U("categoryId"), U("points"),
    U("OrderInCategory"), U("flags"), U("iconId"), S("titleReward"),
    U("count"), U("refAchievement")};

constexpr ColumnDescriptor kAchievementCategory[] = {
    U("id", PK), I("parent"), S("name"), U("sortOrder")};

constexpr ColumnDescriptor kAchievementCriteria[] = {
    U("id", PK), I("referredAchievement", PK), U("requiredType"), U("data"),
    U("value"), U("additional_type_1"), U("additional_value_1"),
    U("additional_type_2"), U("additional_value_2"), S("name"),
    U("completionFlag"), U("groupFlag"), U("unk1"), U("timeLimit"),
    U("order")};

constexpr ColumnDescriptor kChrClasses[] = {
    U("id", PK), U("unk_1"), U("power_type"), U("unk_3"), S("name"),
    S("female_name"), S("neutral_name"), T("internal_name"),
    U("spell_family"), U("unk_9"), U("cinematic_id"), U("expansion")};

constexpr ColumnDescriptor kChrRaces[] = {
    U("id", PK), U("unk_1"), U("facton_id"), U("unk_4"), U("model_m"),
    U("model_f"), T("short_name"), U("unk_8"), U("unk_9"), U("unk_10"),
    U("unk_11"), T("internal_name"), U("cinematic_id"), U("team"), S("name"),
    S("female_name"), S("neutral_name"), T("unk_18"), T("unk_19"),
    T("unk_20"), U("expansion")};

constexpr ColumnDescriptor kCreatureType[] = {U("id", PK), S("name"),
                                              U("no_expirience")};

constexpr ColumnDescriptor kCreatureFamily[] = {
    U("id", PK), F("minScale"), U("minScaleLevel"), F("maxScale"),
    U("maxScaleLevel"), U("skill_line_1"), U("skill_line_2"),
    U("pet_food_mask"), I("pet_talent_type"), I("category"), S("name"),
    K("icon")};

constexpr ColumnDescriptor kFaction[] = {
    U("id", PK), I("reputationListID"), U("BaseRepRaceMask_0"),
    U("BaseRepRaceMask_1"), U("BaseRepRaceMask_2"), U("BaseRepRaceMask_3"),
    U("BaseRepClassMask_0"), U("BaseRepClassMask_1"), U("BaseRepClassMask_2"),
    U("BaseRepClassMask_3"), I("BaseRepValue_0"), I("BaseRepValue_1"),
    I("BaseRepValue_2"), I("BaseRepValue_3"), U("ReputationFlags_0"),
    U("ReputationFlags_1"), U("ReputationFlags_2"), U("ReputationFlags_3"),
    I("team"), S("name"), S("details")};

constexpr ColumnDescriptor kFactionTemplate[] = {
    U("id", PK), U("faction", PK), U("fightSupport"), U("ourMask"),
    U("friendlyMask"), U("hostileMask"), U("enemyFaction1"),
    U("enemyFaction2"), U("enemyFaction3"), U("enemyFaction4"),
    U("friendFaction1"), U("friendFaction2"), U("friendFaction3"),
    U("friendFaction4")};

constexpr ColumnDescriptor kGemProperties[] = {
    U("id", PK), U("spellitemenchantement"), I("unk_1"), I("unk_2"),
    I("color")};

constexpr ColumnDescriptor kGlyphProperties[] = {
    U("id", PK), U("SpellId"), U("TypeFlags"), U("iconId")};

constexpr ColumnDescriptor kSpellItemEnchantment[] = {
    U("id", PK), U("charges"), I("display_type_1"), I("display_type_2"),
    I("display_type_3"), I("amount_1"), I("amount_2"), I("amount_3"),
    I("amount1_1"), I("amount1_2"), I("amount1_3"), U("spellid_1"),
    U("spellid_2"), U("spellid_3"), S("description"), U("aura_id"),
    U("slot"), U("GemID"), U("EnchantmentCondition"), U("requiredSkill"),
    U("requiredSkillRank"), I("requiredLevel")};

constexpr ColumnDescriptor kItemExtendedCost[] = {
    U("id", PK), U("reqhonorpoints"), U("reqarenapoints"), I("unk_3"),
    U("reqitem_1"), U("reqitem_2"), U("reqitem_3"), U("reqitem_4"),
    U("reqitem_5"), U("reqitemcount_1"), U("reqitemcount_2"),
    U("reqitemcount_3"), U("reqitemcount_4"), U("reqitemcount_5"),
    U("reqpersonalarenarating"), I("unk_15")};

constexpr ColumnDescriptor kItemRandomProperties[] = {
    U("id", PK), U("EnchantID_1"), U("EnchantID_2"), U("EnchantID_3"),
    U("EnchantID_4"), U("EnchantID_5"), U("EnchantID_6"), S("name")};

constexpr ColumnDescriptor kItemRandomSuffix[] = {
    U("id", PK), S("name"), T("comment"), U("EnchantID_1"), U("EnchantID_2"),
    U("EnchantID_3"), U("EnchantID_4"), U("EnchantID_5"), U("Prefix_1"),
    U("Prefix_2"), U("Prefix_3"), U("Prefix_4"), U("Prefix_5")};

constexpr ColumnDescriptor kItemDisplayInfo[] = {
    U("id", PK), X(), X(), X(), X(), T("name"), X(), X(), X(), X(), X(),
    X(), X(), X(), X(), X(), X(), X(), X(), X(), X(), X(), X(), X(), X()};

constexpr ColumnDescriptor kItemSet[] = {
    U("id", PK), S("name"), U("item_1"), U("item_2"), U("item_3"),
    U("item_4"), U("item_5"), U("item_6"), U("item_7"), U("item_8"),
    U("item_9"), U("item_10"), U("item_11"), U("item_12"), U("item_13"),
    U("item_14"), U("item_15"), U("item_16"), U("item_17"), U("spell_1"),
    U("spell_2"), U("spell_3"), U("spell_4"), U("spell_5"), U("spell_6"),
    U("spell_7"), U("spell_8"), U("count_1"), U("count_2"), U("count_3"),
    U("count_4"), U("count_5"), U("count_6"), U("count_7"), U("count_8"),
    U("req_skill"), U("req_skill_value")};

constexpr ColumnDescriptor kLanguages[] = {U("id", PK), S("name")};

constexpr ColumnDescriptor kLock[] = {
    U("id", PK), U("keytype_0"), U("keytype_1"), U("keytype_2"),
    U("keytype_3"), U("keytype_4"), U("keytype_5"), U("keytype_6"),
    U("keytype_7"), U("key_0"), U("key_1"), U("key_2"), U("key_3"),
    U("key_4"), U("key_5"), U("key_6"), U("key_7"), U("reqskill_0"),
    U("reqskill_1"), U("reqskill_2"), U("reqskill_3"), U("reqskill_4"),
    U("reqskill_5"), U("reqskill_6"), U("reqskill_7"), U("action_0"),
    U("action_1"), U("action_2"), U("action_3"), U("action_4"),
    U("action_5"), U("action_6"), U("action_7")};

constexpr ColumnDescriptor kLockType[] = {U("id", PK), S("name"), S("help"),
                                          S("tip"), T("cursor")};

constexpr ColumnDescriptor kQuestInfo[] = {U("id", PK), S("name")};

constexpr ColumnDescriptor kQuestSort[] = {U("id", PK), S("name")};

constexpr ColumnDescriptor kRandPropPoints[] = {
    U("itemlevel", PK), U("epic_0"), U("epic_1"), U("epic_2"), U("epic_3"),
    U("epic_4"), U("rare_0"), U("rare_1"), U("rare_2"), U("rare_3"),
    U("rare_4"), U("uncommon_0"), U("uncommon_1"), U("uncommon_2"),
    U("uncommon_3"), U("uncommon_4")};

constexpr ColumnDescriptor kScalingStatDistribution[] = {
    U("id", PK), I("statmod_1"), I("statmod_2"), I("statmod_3"),
    I("statmod_4"), I("statmod_5"), I("statmod_6"), I("statmod_7"),
    I("statmod_8"), I("statmod_9"), I("statmod_10"), U("modifier_1"),
    U("modifier_2"), U("modifier_3"), U("modifier_4"), U("modifier_5"),
    U("modifier_6"), U("modifier_7"), U("modifier_8"), U("modifier_9"),
    U("modifier_10"), U("maxlevel")};

constexpr ColumnDescriptor kScalingStatValues[] = {
    U("id"), U("level", PK), I("multiplier_1"), I("multiplier_2"),
    I("multiplier_3"), I("multiplier_4"), I("multiplier_5"),
    I("multiplier_6"), I("multiplier_7"), I("multiplier_8"),
    I("multiplier_9"), I("multiplier_10"), I("multiplier_11"),
    I("multiplier_12"), I("multiplier_13"), I("multiplier_14"),
    I("multiplier_15"), I("multiplier_16"), I("multiplier_17"),
    I("multiplier_18"), I("multiplier_19"), I("multiplier_20"),
    I("multiplier_21"), I("multiplier_22")};

constexpr ColumnDescriptor kSkillLine[] = {
    U("id", PK), U("Category"), U("Unk1"), S("Name"), S("Description"),
    U("iconId"), S("alternateVerb"), U("canLink")};

constexpr ColumnDescriptor kSkillLineAbility[] = {
    U("id", PK), U("skillId"), U("spellId"), U("RaceMask"), U("ClassMask"),
    U("RaceMaskNot"), U("ClassMaskNot"), U("req_skill_value"),
    U("forward_spellid"), U("LearnOnGetSkill"), U("max_value"),
    U("min_value"), U("characterPoints_1"), U("characterPoints_2")};

constexpr ColumnDescriptor kSkillLineCategory[] = {U("id", PK), S("name"),
                                                   U("order")};

constexpr ColumnDescriptor kSkillRaceClassInfo[] = {
    U("Id", PK), U("skillId"), U("raceMask"), U("classMask"), U("flags"),
    U("reqLevel"), U("skillTiers"), U("skillCost")};

constexpr ColumnDescriptor kSpellShapeshiftForm[] = {
    U("id", PK), I("buttonPosition"), S("name"), U("flags"),
    I("creatureType"), U("unk1"), U("attackSpeed"), U("modelID"), U("unk2"),
    U("unk3"), U("unk4"), U("unk5"), U("unk6"), U("unk7"), U("unk8"),
    U("unk9"), U("unk10"), U("unk11"), U("unk12")};

constexpr ColumnDescriptor kSpellCastTimes[] = {U("id", PK), I("time_1"),
                                                I("time_2"), I("time_3")};

constexpr ColumnDescriptor kSpellDispelType[] = {
    U("id", PK), S("name"), U("dispellMask"), U("unk1"), U("unk2")};

constexpr ColumnDescriptor kSpellDuration[] = {
    U("id", PK), I("duration_1"), I("duration_2"), I("duration_3")};

constexpr ColumnDescriptor kSpellRadius[] = {U("id", PK), F("radius_1"),
                                             F("radius_2"), F("radius_3")};

constexpr ColumnDescriptor kSpellFocusObject[] = {U("id", PK), S("name")};

constexpr ColumnDescriptor kSpellIcon[] = {U("id", PK), K("name")};

constexpr ColumnDescriptor kTalent[] = {
    U("TalentID", PK), U("TalentTab", PK), U("Row"), U("Col"), U("Rank_1"),
    U("Rank_2"), U("Rank_3"), U("Rank_4"), U("Rank_5"), U("Unk_1"),
    U("Unk_2"), U("Unk_3"), U("Unk_4"), U("DependsOn"), U("Unk_5"),
    U("Unk_6"), U("DependsOnRank"), U("Unk_7"), U("Unk_8"), U("Unk_9"),
    U("Unk_10"), U("petflag1"), U("petflag2")};

constexpr ColumnDescriptor kTalentTab[] = {
    U("id", PK), S("name"), U("icon_id"), U("unk"), U("class_mask"),
    U("pet_mask"), U("tab"), T("bg_image")};

constexpr ColumnDescriptor kTotemCategory[] = {
    U("id", PK), S("name"), U("categoryType"), U("categoryMask")};

constexpr ColumnDescriptor kAreaTable[] = {
    U("id", PK), U("map_id"), U("zone_id"), U("flag_id"), U("flags"),
    U("unk_5"), U("unk_6"), U("unk_7"), U("unk_8"), U("unk_9"),
    U("area_level"), S("name"), U("team"), U("unk_10"), U("unk_11"),
    U("unk_12"), U("unk_13"), F("unk_14"), F("unk_15"), U("unk_16")};

constexpr TableDescriptor kTables[] = {
    Table("dbc\\Achievement.dbc", "vesk_achievement", kAchievement),
    Table("dbc\\Achievement_Category.dbc", "vesk_achievement_category",
          kAchievementCategory),
    Table("dbc\\Achievement_Criteria.dbc", "vesk_achievement_criteria",
          kAchievementCriteria),
    Table("dbc\\ChrClasses.dbc", "vesk_chr_classes", kChrClasses),
    Table("dbc\\ChrRaces.dbc", "vesk_chr_races", kChrRaces),
    Table("dbc\\CreatureType.dbc", "vesk_creature_type", kCreatureType),
    Table("dbc\\CreatureFamily.dbc", "vesk_creature_family", kCreatureFamily),
    Table("dbc\\Faction.dbc", "vesk_faction", kFaction),
    Table("dbc\\FactionTemplate.dbc", "vesk_faction_template",
          kFactionTemplate),
    Table("dbc\\GemProperties.dbc", "vesk_gemproperties", kGemProperties),
    Table("dbc\\GlyphProperties.dbc", "vesk_glyphproperties",
          kGlyphProperties),
    Table("dbc\\SpellItemEnchantment.dbc", "vesk_item_enchantment",
          kSpellItemEnchantment),
    Table("dbc\\ItemExtendedCost.dbc", "vesk_item_ex_cost", kItemExtendedCost),
    Table("dbc\\ItemRandomProperties.dbc", "vesk_item_random_propety",
          kItemRandomProperties),
    Table("dbc\\ItemRandomSuffix.dbc", "vesk_item_random_suffix",
          kItemRandomSuffix),
    Table("dbc\\ItemDisplayInfo.dbc", "vesk_itemicon", kItemDisplayInfo),
    Table("dbc\\ItemSet.dbc", "vesk_itemset", kItemSet),
    Table("dbc\\Languages.dbc", "vesk_languages", kLanguages),
    Table("dbc\\Lock.dbc", "vesk_lock", kLock),
    Table("dbc\\LockType.dbc", "vesk_lock_type", kLockType),
    Table("dbc\\QuestInfo.dbc", "vesk_quest_info", kQuestInfo),
    Table("dbc\\QuestSort.dbc", "vesk_quest_sort", kQuestSort),
    Table("dbc\\RandPropPoints.dbc", "vesk_random_property_points",
          kRandPropPoints),
    Table("dbc\\ScalingStatDistribution.dbc", "vesk_scaling_stat_distribution",
          kScalingStatDistribution),
    Table("dbc\\ScalingStatValues.dbc", "vesk_scaling_stat_values",
          kScalingStatValues),
    Table("dbc\\SkillLine.dbc", "vesk_skill_line", kSkillLine),
    Table("dbc\\SkillLineAbility.dbc", "vesk_skill_line_ability",
          kSkillLineAbility),
    Table("dbc\\SkillLineCategory.dbc", "vesk_skill_line_category",
          kSkillLineCategory),
    Table("dbc\\SkillRaceClassInfo.dbc", "vesk_skill_race_class_info",
          kSkillRaceClassInfo),
    Table("dbc\\SpellShapeshiftForm.dbc", "vesk_spell_shapeshift",
          kSpellShapeshiftForm),
    Table("dbc\\SpellCastTimes.dbc", "vesk_spell_cast_time", kSpellCastTimes),
    Table("dbc\\SpellDispelType.dbc", "vesk_spell_dispel_type",
          kSpellDispelType),
    Table("dbc\\SpellDuration.dbc", "vesk_spell_duration", kSpellDuration),
    Table("dbc\\SpellRadius.dbc", "vesk_spell_radius", kSpellRadius),
    Table("dbc\\SpellFocusObject.dbc", "vesk_spellfocus", kSpellFocusObject),
    Table("dbc\\SpellIcon.dbc", "vesk_spellicon", kSpellIcon),
    Table("dbc\\Talent.dbc", "vesk_talents", kTalent),
    Table("dbc\\TalentTab.dbc", "vesk_talent_tab", kTalentTab),
    Table("dbc\\TotemCategory.dbc", "vesk_totem_category", kTotemCategory),
    Table("dbc\\AreaTable.dbc", "vesk_zones", kAreaTable),
};

// kTables holds the client tables in export order, except Spell, which
// stands between SkillRaceClassInfo (index 28) and SpellShapeshiftForm.
constexpr const TableDescriptor* kOrder[] = {
    &kTables[0],  &kTables[1],  &kTables[2],  &kTables[3],  &kTables[4],
    &kTables[5],  &kTables[6],  &kTables[7],  &kTables[8],  &kTables[9],
    &kTables[10], &kTables[11], &kTables[12], &kTables[13], &kTables[14],
    &kTables[15], &kTables[16], &kTables[17], &kTables[18], &kTables[19],
    &kTables[20], &kTables[21], &kTables[22], &kTables[23], &kTables[24],
    &kTables[25], &kTables[26], &kTables[27], &kTables[28], &kSpellTable,
    &kTables[29], &kTables[30], &kTables[31], &kTables[32], &kTables[33],
    &kTables[34], &kTables[35], &kTables[36], &kTables[37], &kTables[38],
    &kTables[39], &kRatingTable,
};
static_assert(std::size(kOrder) == kClientTableCount + 1);

}  // namespace

std::span<const TableDescriptor* const> ExportOrder() { return kOrder; }

std::vector<const char*> ClientFilePaths() {
  std::vector<const char*> paths;
  for (const TableDescriptor* table : ExportOrder())
    if (table->file_path[0]) paths.push_back(table->file_path);
  for (const TableDescriptor* source : {&kMeleeCritSource, &kSpellCritSource, &kCombatRatingsSource})
    paths.push_back(source->file_path);
  return paths;
}
