// The merged rating table and the three level-indexed client files it is
// built from. The sources hold one float per record, 100 levels per class or
// rating kind; the merge turns them into one row per level.
#include "catalogue/catalogue.h"

namespace {
using namespace catalogue_detail;

constexpr ColumnDescriptor kSourceColumns[] = {F("value")};

constexpr ColumnDescriptor kRatingColumns[] = {U("level", PK),
                                               F("MC_Warrior"),
                                               F("MC_Paladin"),
                                               F("MC_Hunter"),
                                               F("MC_Rogue"),
                                               F("MC_Priest"),
                                               F("MC_DeathKnight"),
                                               F("MC_Shaman"),
                                               F("MC_Mage"),
                                               F("MC_Warlock"),
                                               F("MC_10"),
                                               F("MC_Druid"),
                                               F("SC_Warrior"),
                                               F("SC_Paladin"),
                                               F("SC_Hunter"),
                                               F("SC_Rogue"),
                                               F("SC_Priest"),
                                               F("SC_DeathKnight"),
                                               F("SC_Shaman"),
                                               F("SC_Mage"),
                                               F("SC_Warlock"),
                                               F("SC_10"),
                                               F("SC_Druid"),
                                               F("CR_WEAPON_SKILL"),
                                               F("CR_DEFENSE_SKILL"),
                                               F("CR_DODGE"),
                                               F("CR_PARRY"),
                                               F("CR_BLOCK"),
                                               F("CR_HIT_MELEE"),
                                               F("CR_HIT_RANGED"),
                                               F("CR_HIT_SPELL"),
                                               F("CR_CRIT_MELEE"),
                                               F("CR_CRIT_RANGED"),
                                               F("CR_CRIT_SPELL"),
                                               F("CR_HIT_TAKEN_MELEE"),
                                               F("CR_HIT_TAKEN_RANGED"),
                                               F("CR_HIT_TAKEN_SPELL"),
                                               F("CR_CRIT_TAKEN_MELEE"),
                                               F("CR_CRIT_TAKEN_RANGED"),
                                               F("CR_CRIT_TAKEN_SPELL"),
                                               F("CR_HASTE_MELEE"),
                                               F("CR_HASTE_RANGED"),
                                               F("CR_HASTE_SPELL"),
                                               F("CR_WEAPON_SKILL_MAINHAND"),
                                               F("CR_WEAPON_SKILL_OFFHAND"),
                                               F("CR_WEAPON_SKILL_RANGED"),
                                               F("CR_EXPERTISE")};
static_assert(std::size(kRatingColumns) == 47);

}  // namespace

constexpr TableDescriptor kRatingTable = Table("", "vesk_rating", kRatingColumns);
constexpr TableDescriptor kMeleeCritSource =
    Table("dbc\\gtChanceToMeleeCrit.dbc", "", kSourceColumns);
constexpr TableDescriptor kSpellCritSource =
    Table("dbc\\gtChanceToSpellCrit.dbc", "", kSourceColumns);
constexpr TableDescriptor kCombatRatingsSource =
    Table("dbc\\gtCombatRatings.dbc", "", kSourceColumns);

namespace {
// Column 0 is the level; the sources' columns follow in this order.
constexpr RatingSource kSources[] = {{&kMeleeCritSource, 11, 1, kRatingLevels},
                                     {&kSpellCritSource, 11, 12, kRatingLevels},
                                     {&kCombatRatingsSource, 24, 23, kRatingLevels}};
static_assert(kSources[2].first_column + kSources[2].classes == std::size(kRatingColumns));
static_assert(kSources[0].first_column + kSources[0].classes == kSources[1].first_column);
static_assert(kSources[1].first_column + kSources[1].classes == kSources[2].first_column);
}  // namespace

std::span<const RatingSource> RatingSources() { return kSources; }
