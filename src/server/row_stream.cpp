#include "server/row_stream.h"

#include "server/server_session.h"

bool RowStream::Open(ServerSession& session, const std::string& sql, std::string* why) {
  Close();
  session_ = &session;
  result_ = session.Query(sql) ? mysql_use_result(session.handle()) : nullptr;
  if (result_) return true;
  if (mysql_errno(session.handle()) != 0) session.KeepError();
  *why = "cannot be read: " + session.Error();
  return false;
}

bool RowStream::Next(char*** row, const unsigned long** lengths) {
  if (!result_) return false;
  MYSQL_ROW next = mysql_fetch_row(result_);
  if (!next) return false;
  *row = next;
  *lengths = mysql_fetch_lengths(result_);
  return true;
}

std::string RowStream::Failure() {
  if (!session_ || mysql_errno(session_->handle()) == 0) return "";
  session_->KeepError();
  return "cannot be read: " + session_->Error();
}

void RowStream::Close() {
  if (!result_) return;
  while (mysql_fetch_row(result_)) {
  }
  mysql_free_result(result_);
  result_ = nullptr;
}
