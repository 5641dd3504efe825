#include "app/table_selection.h"

#include <string_view>
#include <tuple>

#include "catalogue/catalogue.h"

namespace {

// The names of a --tables or --exclude list, blanks around commas trimmed.
std::vector<std::string_view> NamesOf(std::string_view list) {
  std::vector<std::string_view> names;
  for (std::string_view rest = list; !rest.empty();) {
    const std::size_t comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

}  // namespace

bool SelectTables(const Options& options, std::vector<const TableDescriptor*>* tables,
                  std::string* why) {
  std::vector<std::string_view> chosen, excluded;
  std::string unknown;
  for (const auto& [list, names, option] : {std::tuple{&options.tables, &chosen, "--tables"},
                                            {&options.exclude, &excluded, "--exclude"}}) {
    if (!*list) continue;
    *names = NamesOf(**list);
    if (names->empty()) {
      *why = std::string(option) + " names no table: --list shows the tables";
      return false;
    }
    for (const std::string_view name : *names) {
      bool known = false;
      for (const TableDescriptor* table : ExportOrder()) known = known || NamesTable(name, *table);
      if (!known) unknown += (unknown.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (!unknown.empty()) {
    *why = (unknown.find(',') == std::string::npos ? "unknown table " : "unknown tables ") +
           unknown + ": --list shows the tables";
    return false;
  }
  const auto named = [](const std::vector<std::string_view>& names, const TableDescriptor& table) {
    for (const std::string_view name : names)
      if (NamesTable(name, table)) return true;
    return false;
  };
  for (const TableDescriptor* table : ExportOrder())
    if ((!options.tables || named(chosen, *table)) && !named(excluded, *table))
      tables->push_back(table);
  if (tables->empty()) {
    *why = "--exclude leaves no table of --tables to export";
    return false;
  }
  return true;
}
