#include "roundtrip/row_source.h"

ServerRowSource::~ServerRowSource() {
  while (mysql_fetch_row(result_)) {
  }
  mysql_free_result(result_);
}

bool ServerRowSource::Next(char*** row, const unsigned long** lengths) {
  MYSQL_ROW next = mysql_fetch_row(result_);
  if (!next) return false;
  *row = next;
  *lengths = mysql_fetch_lengths(result_);
  return true;
}

std::string ServerRowSource::Failure() {
  if (mysql_errno(session_.handle()) == 0) return "";
  session_.KeepError();
  return "cannot be read: " + session_.Error();
}
