// The options of a run, and the one table that describes them. Each row of
// the table names an option (its long name, its short letter if it has
// one), its kind, its range, its help line and where its value goes; the
// command-line parser, --help, the option-file groups, the range checks,
// the password wipe and the connection settings are all derived from it.
//
// The seven short options follow their historic rule: only the letter after
// the dash counts, and the next argument is always the value. Long options
// take "--name=value" or "--name value"; flags take no value, or a boolean
// one ("--ssl=0"), and the prefixes skip-, disable- and enable- as the
// MySQL tools do.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sql/engine.h"

struct Options {
  // The seven short options, with their long names.
  std::optional<std::string> locale;    // -l, --locale: a slot number or name
  std::optional<std::string> host;      // -h, --host
  std::optional<std::string> port;      // -o, --port; as given
  std::optional<std::string> user;      // -u, --user
  std::optional<std::string> password;  // -p, --password=VALUE
  std::optional<std::string> database;  // -d, --database
  std::optional<std::string> file;      // -f, --file

  // Long options only.
  bool ask_password = false;                       // --password without a value
  std::optional<std::string> socket;               // --socket
  std::optional<std::string> defaults_file;        // --defaults-file
  std::optional<std::string> defaults_extra_file;  // --defaults-extra-file
  bool no_defaults = false;                        // --no-defaults
  bool print_defaults = false;                     // --print-defaults
  bool ssl = false;                                // --ssl
  std::optional<std::string> ssl_ca;               // --ssl-ca
  std::optional<std::string> ssl_cert;             // --ssl-cert
  std::optional<std::string> ssl_key;              // --ssl-key
  bool ssl_verify_server_cert = false;             // --ssl-verify-server-cert
  std::optional<std::string> connect_timeout;      // --connect-timeout, seconds
  std::optional<std::string> lock_wait;            // --lock-wait, seconds
  std::optional<std::string> tables;               // --tables: only these
  std::optional<std::string> exclude;              // --exclude: all but these
  bool list = false;                               // --list: print the catalogue
  bool check = false;                              // --check: read and check, write nothing
  bool quiet = false;                              // --quiet: nothing printed on success
  bool atomic = false;                             // --atomic: tables swapped in whole
  bool utf8mb4 = false;                            // --utf8mb4: texts in 4-byte utf8
  std::optional<std::string> engine;               // --engine: MyISAM or InnoDB
  std::optional<std::string> parallel;             // --parallel: server connections
  bool verify = false;                             // --verify: compare the database with the client
  std::optional<std::string> write_dbc;            // --write-dbc: client files from the database
  std::optional<std::string> report;               // --report: the run's JSON report
  std::optional<std::string> diff_sql;             // --diff-sql: --verify's edits as SQL
  std::optional<std::string> client_dir;           // --client-dir: the client folder
  std::optional<std::string> patch_archive;        // --patch-archive: the archive written
  std::optional<std::string> archives;       // --archive, each given: one per line, the winner last
  std::optional<std::string> client_locale;  // --client-locale: the locale folder of Data
  bool no_progress = false;                  // --no-progress: no progress bars
  bool replace_edited = false;               // --replace-edited: edits are not kept
  bool keep_edited = false;                  // --keep-edited: kept edits are no failure
  bool skip_unchanged = false;               // --skip-unchanged: unchanged tables stay
  bool changed_only = false;                 // --changed-only: --write-dbc's patch
  bool help = false;                         // --help
  bool version = false;                      // --version

  // Which rows of the option table were set (by index), so that the
  // command line can win over an option file.
  std::uint64_t given = 0;

  // Values of an integer option, once Validate() has checked them.
  int LocaleIndex() const;  // 0 for -l auto
  // -l auto: each table's texts from the slot that holds them.
  bool AutoLocale() const;
  int Port() const;
  unsigned ConnectTimeout() const;
  unsigned LockWait() const;
  Engine TableEngine() const;
  unsigned Parallel() const;
};

enum class OptionKind {
  kText,      // any text
  kPassword,  // text; alone on the command line, asked on the terminal
  kFlag,      // no value, or a boolean one
  kInteger,   // a whole number within [min, max]
  kLocale,    // a slot number or one of the twelve names
  kTables,    // a comma-separated list of tables
  kTexts,     // any text, repeatable: each value is added on a line of its own
};

struct OptionRow {
  const char* name;  // long name, without the dashes
  char letter;       // short letter, or '\0'
  OptionKind kind;
  bool connection;                            // also read from an option file's [client] group
  bool in_files;                              // may stand in an option file at all
  long long min, max;                         // kInteger: the range
  const char* arg;                            // what the value is, for --help ("HOST")
  const char* help;                           // the help line
  std::optional<std::string> Options::*text;  // where a value goes
  bool Options::*flag;                        // where a flag goes
};

// Every option of the tool, in the order --help lists them.
std::span<const OptionRow> OptionTable();

// The row of a long name ('_' and '-' alike), or null.
const OptionRow* FindOption(std::string_view name);
// The flag row that a "skip-X" or "disable-X" name turns off (*on false)
// or an "enable-X" name turns on, or null.
const OptionRow* FindFlagPrefixed(std::string_view name, bool* on);
// The edits (insertions, deletions, changes, swaps of neighbours) that
// make `a` into `b`, in any case; counted up to `most` + 1 at most.
std::size_t Edits(std::string_view a, std::string_view b, std::size_t most);
// The long option a mistyped name most likely means (two edits at most),
// or null.
const OptionRow* NearestOption(std::string_view name);
// Removes a leading "loose-" (the option may be unknown); true when there
// was one.
bool StripLoose(std::string_view* name);

// Parses argv[1..argc). False on a malformed command line, with the mistake
// in *why ("option -p needs a value"): an argument that does not begin with
// '-', a short option without a value, an option letter other than the
// seven, an unknown long option, or a long option without its value.
// *unknown_long, when given, tells whether the mistake is an unknown long
// option, which names the nearest one rather than calling for the usage.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* why = nullptr,
                  bool* unknown_long = nullptr);

// Sets one option by its long name, as an option file line or a long option
// does: `value` null for a bare name. Handles the skip-/enable-/disable-
// prefixes of flags ("loose-" is the caller's). False, with the mistake in
// *why, for an unknown name ("unknown") or a value the option cannot take.
enum class SetResult { kSet, kUnknown, kBadValue };
SetResult SetByName(std::string_view name, const char* value, Options* options, std::string* why);

// Fills every option not given in `options` from `fallback`.
void FillFrom(Options* options, const Options& fallback);

// Checks the values of the integer and locale options: false, with the
// mistake in *why, for one that is not a number in its range or not a
// locale. A locale number outside 0..11 is kept (it selects slot 0) and
// noted in *warning.
bool Validate(const Options& options, std::string* why, std::string* warning);

// The long-option part of --help, made from the table.
std::string OptionHelp();

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
