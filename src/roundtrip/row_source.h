// The database's rows of one table, one at a time, as the way back reads
// them: each row is its values as text in the exported columns' order (a
// null pointer for NULL) with their lengths, in the order the SELECT of
// RowMatcher::Open() gives (by the key). The comparison of --verify and the
// write-back of --write-dbc read rows only through this, so that tests can
// drive them with rows held in memory; ServerRowSource reads a server's.
#pragma once

#include <string>

#include "server/row_stream.h"

class RowSource {
 public:
  virtual ~RowSource() = default;
  // The next row; false at the end, or when reading failed (Failure()).
  virtual bool Next(char*** row, const unsigned long** lengths) = 0;
  // Why the rows could not be read to their end; empty when they were.
  // Called once Next() returned false.
  virtual std::string Failure() = 0;
};

// The rows of the SELECT that RowMatcher::Open() began on a server.
class ServerRowSource : public RowSource {
 public:
  explicit ServerRowSource(RowStream& rows) : rows_(rows) {}
  bool Next(char*** row, const unsigned long** lengths) override {
    return rows_.Next(row, lengths);
  }
  std::string Failure() override { return rows_.Failure(); }

 private:
  RowStream& rows_;
};
