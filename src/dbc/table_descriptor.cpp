#include "dbc/table_descriptor.h"

std::uint32_t ExpectedFieldCount(const TableDescriptor& descriptor) {
  std::uint32_t fields = 0;
  for (std::uint32_t i = 0; i < descriptor.column_count; ++i)
    fields += FieldWidth(descriptor.columns[i].type);
  return fields;
}

bool HasLocalizedColumns(const TableDescriptor& descriptor) {
  for (std::uint32_t c = 0; c < descriptor.column_count; ++c)
    if (descriptor.columns[c].type == 's') return true;
  return false;
}
