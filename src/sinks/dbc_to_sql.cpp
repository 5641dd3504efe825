#include "sinks/dbc_to_sql.h"

#include <cstdio>

dbcToSQL::dbcToSQL() { handle_live_ = mysql_init(&mysql_) != nullptr; }

dbcToSQL::~dbcToSQL() {
  Close();
  if (handle_live_) mysql_close(&mysql_);
}

bool dbcToSQL::Connect(const char* host, const char* user,
                       const char* password, const char* database, int port) {
  std::printf("Connecting to MySQL server: ");
  if (!handle_live_ ||
      !mysql_real_connect(&mysql_, host, user, password, nullptr,
                          static_cast<unsigned>(port), nullptr, 0)) {
    std::printf("\n %s\n", handle_live_ ? mysql_error(&mysql_)
                                        : "cannot initialise the client library");
    connected_ = false;
    CountFault();
    return false;
  }
  connected_ = true;
  std::printf("ok\n");
  if (mysql_select_db(&mysql_, database) == 0) {
    std::printf("Select database: %s\n", database);
  } else {
    std::printf("Create database: %s\n", database);
    Write(BuildCreateDatabase(database));
    if (mysql_select_db(&mysql_, database) != 0) CountFault();
  }
  return true;
}

bool dbcToSQL::Write(const char* text) {
  if (!connected_) return false;
  if (mysql_query(&mysql_, text) == 0) return true;
  std::printf("ERROR sql command:\n%s\n", text);
  return false;
}

void dbcToSQL::Close() {
  if (!connected_) return;
  mysql_close(&mysql_);
  handle_live_ = false;
  connected_ = false;
  std::printf("Disconnect\n");
}
