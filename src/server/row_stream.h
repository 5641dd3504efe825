// The rows of one query, read from the server as they come (the result is
// not held whole in memory), each as its values' texts (a null pointer for
// NULL) and their lengths. What is left of the rows is read and dropped
// when the stream goes, so that the connection can take the next
// statement.
#pragma once

#include <mysql.h>

#include <string>

class ServerSession;

class RowStream {
 public:
  RowStream() = default;
  ~RowStream() { Close(); }
  RowStream(const RowStream&) = delete;
  RowStream& operator=(const RowStream&) = delete;

  // Sends `sql` on `session` and begins its rows. False, with *why ("cannot
  // be read: ERROR ..."), when the server refuses it.
  bool Open(ServerSession& session, const std::string& sql, std::string* why);
  // The next row; false at the end, or when reading failed (Failure()).
  bool Next(char*** row, const unsigned long** lengths);
  // Why the rows could not be read to their end; empty when they were.
  std::string Failure();
  void Close();

 private:
  ServerSession* session_ = nullptr;
  MYSQL_RES* result_ = nullptr;
};
