// The database's rows of one table, one at a time, as the way back reads
// them: each row is its values as text in the exported columns' order (a
// null pointer for NULL) with their lengths, in the order the SELECT of
// RowMatcher::Open() gives (by the key). The comparison of --verify and the
// write-back of --write-dbc read rows only through this, so that tests can
// drive them with rows held in memory; ServerRowSource reads a server's.
#pragma once

#include <mysql.h>

#include <string>

#include "server/server_session.h"

class RowSource {
 public:
  virtual ~RowSource() = default;
  // The next row; false at the end, or when reading failed (Failure()).
  virtual bool Next(char*** row, const unsigned long** lengths) = 0;
  // Why the rows could not be read to their end; empty when they were.
  // Called once Next() returned false.
  virtual std::string Failure() = 0;
};

// The rows of a result that RowMatcher::Open() began (read streaming); the
// rows not read are read and dropped, and the result freed, when it goes,
// so that the connection can take the next statement.
class ServerRowSource : public RowSource {
 public:
  ServerRowSource(ServerSession& session, MYSQL_RES* result) : session_(session), result_(result) {}
  ~ServerRowSource() override;
  ServerRowSource(const ServerRowSource&) = delete;
  ServerRowSource& operator=(const ServerRowSource&) = delete;

  bool Next(char*** row, const unsigned long** lengths) override;
  std::string Failure() override;

 private:
  ServerSession& session_;
  MYSQL_RES* result_;
};
