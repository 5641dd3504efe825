// The tables of a run, chosen from the catalogue by --tables and --exclude.
#pragma once

#include <string>
#include <vector>

#include "app/options.h"

struct TableDescriptor;

// The tables of the run, in export order: those --tables names (all when it
// is not given), less those --exclude names. False, with the mistake, for
// names of no table or a list that names none.
bool SelectTables(const Options& options, std::vector<const TableDescriptor*>* tables,
                  std::string* why);
