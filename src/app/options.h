// The command line: the seven single-letter options, each followed by its
// value, and long options of our own (--name=value or --name value).
#pragma once

#include <cstdint>
#include <string>

struct Options {
  int locale = 0;                   // -l, --locale
  const char* host = nullptr;       // -h, --host
  int port = 0;                     // -o, --port; 0: the client library's default
  const char* port_text = nullptr;  // -o as given
  const char* user = nullptr;       // -u, --user
  const char* password = nullptr;   // -p, --password=VALUE
  const char* database = nullptr;   // -d, --database
  const char* file = nullptr;       // -f, --file

  // Long options only.
  bool ask_password = false;              // --password without a value
  const char* socket = nullptr;           // --socket
  const char* defaults_file = nullptr;    // --defaults-file
  bool ssl = false;                       // --ssl
  const char* ssl_ca = nullptr;           // --ssl-ca
  const char* ssl_cert = nullptr;         // --ssl-cert
  const char* ssl_key = nullptr;          // --ssl-key
  bool ssl_verify_server_cert = false;    // --ssl-verify-server-cert
  const char* connect_timeout = nullptr;  // --connect-timeout, seconds

  // Shaping a run.
  const char* tables = nullptr;   // --tables: only these (comma-separated)
  const char* exclude = nullptr;  // --exclude: all but these
  bool list = false;              // --list: print the catalogue
  bool check = false;             // --check: read and check, write nothing
  bool quiet = false;             // --quiet: no bar, no per-table lines
  bool atomic = false;            // --atomic: each server table swapped in whole
};

// Parses argv[1..argc). False on a malformed command line, with the mistake
// in *why ("option -p needs a value"): an argument that does not begin with
// '-', a short option without a value, an option letter other than the
// seven, an unknown long option, or a long option without its value. Only
// the second character of a short option counts, and the argument after it
// is always its value. A long option takes "--name=value" or "--name value";
// --password takes only "--password=value", and alone asks for it.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* why = nullptr);

// Whether the argument after `arg` is its value: a short option, or a long
// one without "=value" that is not a flag (--password alone asks instead).
bool TakesNextArgument(const char* arg);

// Decimal conversion with the rules of the C library's atoi (leading blanks,
// an optional sign, digits up to the first non-digit, 0 without digits), but
// saturating at the limits of a 32-bit int instead of wrapping.
int ParseInt(const char* text);

// The language slot of -l: one of the twelve names ("ruRU", in any case),
// or a number with the rules of ParseInt().
int LocaleIndex(const char* text);

// Whether `text` is a plain decimal number (optional blanks and sign, then
// digits to its end), as a port must be.
bool IsPlainNumber(const char* text);
