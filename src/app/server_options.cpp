#include "app/server_options.h"

#include <string>

#include "roundtrip/table_verifier.h"

ConnectOptions ConnectOptionsOf(const Options& options) {
  ConnectOptions connect;
  connect.socket = Text(options.socket);
  // A CA, certificate or key asks for TLS.
  connect.ssl = options.ssl || options.ssl_ca || options.ssl_cert || options.ssl_key;
  connect.ssl_ca = Text(options.ssl_ca);
  connect.ssl_cert = Text(options.ssl_cert);
  connect.ssl_key = Text(options.ssl_key);
  connect.ssl_verify_server_cert = options.ssl_verify_server_cert;
  connect.timeout_seconds = options.ConnectTimeout();
  connect.utf8mb4 = options.utf8mb4;
  return connect;
}

LoadOptions LoadOptionsOf(const Options& options) {
  LoadOptions load;
  load.atomic = options.atomic;
  load.engine = options.TableEngine();
  load.lock_wait_seconds = options.LockWait();
  load.replace_edited = options.replace_edited;
  load.skip_unchanged = options.skip_unchanged;
  load.auto_locale = options.AutoLocale();
  load.utf8mb4 = options.utf8mb4;
  load.same_as_client = [](ServerSession& session, const LoadedTable& table) {
    std::string what;
    return TableVerifier(session).Compare(table, &what);
  };
  return load;
}
