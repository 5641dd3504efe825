// --list: every chosen table with its client files and column count.
#include <cstdio>

#include "app/client_layout.h"
#include "app/modes.h"
#include "app/run.h"
#include "catalogue/catalogue.h"

int ListTables(RunContext& run) {
  for (const TableDescriptor* table : run.tables) {
    std::uint32_t columns = 0;
    for (std::uint32_t c = 0; c < table->column_count; ++c)
      columns += IsExported(table->columns[c].type);
    std::printf("%s: %s, %u columns\n", table->table_name, ClientLayout::FilesOf(*table).c_str(),
                columns);
  }
  return kExitOk;
}
