// The CHECKSUM TABLE value that a MariaDB server gives for a table holding
// exactly the rows the tool sends of a loaded table, computed here from the
// rows, so that a table's record needs no second reading of the table on
// the server (which, for a table without a live checksum, costs a read of
// every row) and holds what the tool sent, not what a session changed
// meanwhile.
//
// The server sums, over the rows, the CRC-32 of each row's stored bytes:
// for a table without a text column, first its one byte of null flags
// (0xff: every column NOT NULL, the unused bits set); then each column,
// an integer or a float as its four little-endian bytes, a text as its
// bytes. A float is stored as the server reads the "%f" text the tool
// sends: the nearest double, narrowed to a float, a zero always +0.
#pragma once

#include <cstdint>
#include <optional>

class LoadedTable;

// The sum of rows added as they are sent, so that each row is read while it
// is still in memory (a mapped table lets its records go behind the rows
// sent).
class StoredChecksum {
 public:
  // Adds the rows [first, first + count) of `table` (one table for a sum).
  void Add(const LoadedTable& table, std::uint32_t first, std::uint32_t count);
  // The rows added.
  std::uint32_t rows() const { return rows_; }
  // None when a row holds a value the server would not store as sent (a
  // float that is not finite); the caller then asks the server.
  std::optional<std::uint32_t> Sum() const {
    return exact_ ? std::optional<std::uint32_t>(sum_) : std::nullopt;
  }

 private:
  std::uint32_t sum_ = 0;
  std::uint32_t rows_ = 0;
  bool exact_ = true;
};

// The sum of every row of `table`.
std::optional<std::uint32_t> StoredChecksumOf(const LoadedTable& table);
