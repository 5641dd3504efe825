// The names of the tables --atomic makes beside a table: its staging table,
// which takes the new rows ("vesk_spell__new_0a1b2c3d"), and its retired
// one, the old table for the moment of the swap ("vesk_spell__old_..."),
// each ending in the id of the run that made it.
#pragma once

#include <string>

inline constexpr char kStagingEnding[] = "__new_";
inline constexpr char kRetiredEnding[] = "__old_";

inline std::string StagingName(const std::string& table, const std::string& run_id) {
  return table + kStagingEnding + run_id;
}
inline std::string RetiredName(const std::string& table, const std::string& run_id) {
  return table + kRetiredEnding + run_id;
}

// Whether `name` is a table that --atomic makes: "vesk_..." followed by
// the staging or retired ending and a run's id (8 hex digits).
bool IsStagingName(const std::string& name);
