// The MySQL server sink: executes every statement on a server through the
// MySQL client library, one statement per query. Connect() selects the
// target database, creating it when it cannot be selected.
#pragma once

#include <mysql.h>

#include "dbc/dbcfile.h"

class dbcToSQL : public DBCFile {
 public:
  dbcToSQL();
  ~dbcToSQL() override;

  bool Connect(const char* host, const char* user, const char* password,
               const char* database, int port);

  bool Write(const char* text) override;
  void Close() override;

 private:
  MYSQL mysql_;
  bool connected_ = false;
  bool handle_live_ = false;  // mysql_init() done, mysql_close() not yet
};
