// One value of a table that differs between the database and the client,
// as --verify shows it: the row's key, the column, and both values as the
// script prints them ("NULL" for a database NULL).
#pragma once

#include <string>

struct DifferingValue {
  std::string key;  // "id 4"
  std::string column;
  std::string database;
  std::string client;
};
