#include "app/options.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "dbc/dbc_format.h"
#include "server/run_lock.h"

namespace {

using O = Options;
constexpr OptionKind kText = OptionKind::kText;
constexpr OptionKind kFlag = OptionKind::kFlag;
constexpr OptionKind kInteger = OptionKind::kInteger;

// The largest number of seconds an option takes: a year.
constexpr long long kYear = 365LL * 24 * 3600;

constexpr OptionRow kRows[] = {
    // name, letter, kind, [client], in files, min, max, arg, help, text, flag
    {"locale", 'l', OptionKind::kLocale, false, true, 0, 0, "N|NAME|auto",
     "language slot of the localized texts: 0-11, a name (default 0, enGB), or auto: each "
     "table's from the slot that holds its texts",
     &O::locale, nullptr},
    {"host", 'h', kText, true, true, 0, 0, "HOST", "the MySQL server's host", &O::host, nullptr},
    {"port", 'o', kInteger, true, true, 0, 65535, "PORT",
     "the server's port (default: the client library's)", &O::port, nullptr},
    {"user", 'u', kText, true, true, 0, 0, "USER", "the MySQL user", &O::user, nullptr},
    {"password", 'p', OptionKind::kPassword, true, true, 0, 0, "PASSWORD",
     "the password (-p \"\" for none); --password alone asks on the terminal", &O::password,
     nullptr},
    {"database", 'd', kText, true, true, 0, 0, "DB", "the database, created when it does not exist",
     &O::database, nullptr},
    {"file", 'f', kText, false, true, 0, 0, "FILE",
     "write an SQL script (wins over the server options); - for standard output, the console "
     "then goes to standard error",
     &O::file, nullptr},
    {"socket", '\0', kText, true, true, 0, 0, "PATH",
     "connect through a unix socket (instead of -h)", &O::socket, nullptr},
    {"defaults-file", '\0', kText, false, false, 0, 0, "FILE",
     "read the [client] and [vesk-dbc2sql] groups of this MySQL option file; the command line "
     "wins",
     &O::defaults_file, nullptr},
    {"defaults-extra-file", '\0', kText, false, false, 0, 0, "FILE",
     "read this MySQL option file when --defaults-file is not given (with it, this one is not "
     "read, as with the MySQL tools); the command line wins",
     &O::defaults_extra_file, nullptr},
    {"no-defaults", '\0', kFlag, false, false, 0, 0, nullptr,
     "read no option file (none is read unless named)", nullptr, &O::no_defaults},
    {"print-defaults", '\0', kFlag, false, false, 0, 0, nullptr,
     "print the options the option files give, one per line, and exit", nullptr,
     &O::print_defaults},
    {"ssl", '\0', kFlag, true, true, 0, 0, nullptr,
     "require TLS: a server without it is refused before anything is created", nullptr, &O::ssl},
    {"ssl-ca", '\0', kText, true, true, 0, 0, "FILE", "the CA file of TLS (implies --ssl)",
     &O::ssl_ca, nullptr},
    {"ssl-cert", '\0', kText, true, true, 0, 0, "FILE",
     "the client certificate of TLS (implies --ssl)", &O::ssl_cert, nullptr},
    {"ssl-key", '\0', kText, true, true, 0, 0, "FILE", "the client key of TLS (implies --ssl)",
     &O::ssl_key, nullptr},
    {"ssl-verify-server-cert", '\0', kFlag, true, true, 0, 0, nullptr,
     "check the server's certificate and its host name", nullptr, &O::ssl_verify_server_cert},
    {"connect-timeout", '\0', kInteger, true, true, 1, kYear, "S",
     "seconds to wait for the server (default 20)", &O::connect_timeout, nullptr},
    {"lock-wait", '\0', kInteger, false, true, 0, kYear, "S",
     "seconds to wait for another run on the same database, or for a lock (default 60)",
     &O::lock_wait, nullptr},
    {"tables", '\0', OptionKind::kTables, false, true, 0, 0, "LIST",
     "only these tables: SQL table names, client file names or stems, comma-separated", &O::tables,
     nullptr},
    {"exclude", '\0', OptionKind::kTables, false, true, 0, 0, "LIST",
     "all tables but these (also taken out of --tables)", &O::exclude, nullptr},
    {"list", '\0', kFlag, false, true, 0, 0, nullptr,
     "print the tables, their client files and columns", nullptr, &O::list},
    {"check", '\0', kFlag, false, true, 0, 0, nullptr,
     "read and check every client file; write nothing", nullptr, &O::check},
    {"quiet", '\0', kFlag, false, true, 0, 0, nullptr,
     "print nothing when the run succeeds; otherwise only the reasons and the summary", nullptr,
     &O::quiet},
    {"atomic", '\0', kFlag, false, true, 0, 0, nullptr,
     "server mode: load each table into a staging table and swap it in whole", nullptr, &O::atomic},
    {"engine", '\0', kText, false, true, 0, 0, "NAME",
     "server mode and script: the tables' engine, MyISAM (default) or InnoDB, which a Galera "
     "cluster replicates; InnoDB rows are committed in transactions of up to 2000 rows",
     &O::engine, nullptr},
    {"utf8mb4", '\0', kFlag, false, true, 0, 0, nullptr,
     "server mode and script: text columns and the connection in utf8mb4, which holds every "
     "character (default utf8, which refuses 4-byte ones)",
     nullptr, &O::utf8mb4},
    {"parallel", '\0', kInteger, false, true, 1, RunLock::kSlots, "N",
     "server mode: load tables on N connections at once, the largest first (default 2)",
     &O::parallel, nullptr},
    {"verify", '\0', kFlag, false, true, 0, 0, nullptr,
     "server mode: compare the database's tables with the client files, value by value as the "
     "script prints them, one line per table; change nothing (exit 1 when any differs)",
     nullptr, &O::verify},
    {"write-dbc", '\0', kText, false, true, 0, 0, "DIR",
     "server mode: write client files into DIR (not the client's dbc folder) from the database's "
     "tables, the client's own files serving as templates",
     &O::write_dbc, nullptr},
    {"patch-archive", '\0', kText, false, true, 0, 0, "FILE",
     "server mode: write what --write-dbc would write into one archive (.MPQ) that the "
     "players' client reads as a patch, replacing FILE (one this tool wrote, or none)",
     &O::patch_archive, nullptr},
    {"diff-sql", '\0', kText, false, true, 0, 0, "FILE",
     "with --verify: write into FILE the SQL statements that turn the client's rows into the "
     "database's (UPDATE, INSERT, DELETE by key)",
     &O::diff_sql, nullptr},
    {"report", '\0', kText, false, true, 0, 0, "FILE",
     "write a JSON report of the run into FILE (- for standard output, with --quiet)", &O::report,
     nullptr},
    {"client-dir", '\0', kText, false, true, 0, 0, "DIR",
     "the client folder (the one that holds dbc/) instead of the current folder", &O::client_dir,
     nullptr},
    {"archive", '\0', OptionKind::kTexts, false, true, 0, 0, "FILE",
     "read the client files from this archive (.MPQ) instead of the client folder; repeatable, "
     "the later archive wins",
     &O::archives, nullptr},
    {"client-locale", '\0', kText, false, true, 0, 0, "NAME",
     "the locale folder of the client's Data folder to read archives from (ruRU), where it has "
     "several (not the texts' slot: that is -l)",
     &O::client_locale, nullptr},
    {"no-progress", '\0', kFlag, false, true, 0, 0, nullptr,
     "leave out the progress bars, and only them", nullptr, &O::no_progress},
    {"replace-edited", '\0', kFlag, false, true, 0, 0, nullptr,
     "server mode: replace a table changed on the server since it was loaded too (by default "
     "it is kept, and the run fails)",
     nullptr, &O::replace_edited},
    {"keep-edited", '\0', kFlag, false, true, 0, 0, nullptr,
     "server mode: keep a table changed on the server since it was loaded, as by default, but "
     "as kept, not failed: the run succeeds when nothing else failed",
     nullptr, &O::keep_edited},
    {"skip-unchanged", '\0', kFlag, false, true, 0, 0, nullptr,
     "server mode: leave a table as it is when its client file, slot and engine are those it "
     "was loaded from and it is unchanged on the server",
     nullptr, &O::skip_unchanged},
    {"changed-only", '\0', kFlag, false, true, 0, 0, nullptr,
     "with --write-dbc: write only the files whose bytes differ from the client's, and list them "
     "at the end",
     nullptr, &O::changed_only},
    {"help", '\0', kFlag, false, false, 0, 0, nullptr, "this help", nullptr, &O::help},
    {"version", '\0', kFlag, false, false, 0, 0, nullptr, "the version", nullptr, &O::version},
};
static_assert(kTransactionRows == 2000, "the help of --engine names the rows of a transaction");
static_assert(std::size(kRows) <= 64, "Options::given holds one bit per row");

std::uint64_t Bit(const OptionRow& row) { return std::uint64_t{1} << (&row - kRows); }

bool Fail(std::string* why, std::string reason) {
  if (why) *why = std::move(reason);
  return false;
}

// A flag's boolean value: empty for a bare flag (true).
std::optional<bool> BooleanValue(const char* value) {
  if (!value) return true;
  for (const char* yes : {"1", "on", "true", "yes"})
    if (::strcasecmp(value, yes) == 0) return true;
  for (const char* no : {"0", "off", "false", "no"})
    if (::strcasecmp(value, no) == 0) return false;
  return std::nullopt;
}

// Sets `row` from `value` (null: bare). The password alone asks for it.
bool Assign(const OptionRow& row, const char* value, Options* options, std::string* why) {
  if (row.kind == kFlag) {
    const std::optional<bool> on = BooleanValue(value);
    if (!on) return Fail(why, "option --" + std::string(row.name) + " takes no value");
    options->*row.flag = *on;
  } else if (row.kind == OptionKind::kPassword && !value) {
    options->ask_password = true;
    options->password.reset();
  } else {
    if (!value) return Fail(why, "option --" + std::string(row.name) + " needs a value");
    std::optional<std::string>& text = options->*row.text;
    if (row.kind == OptionKind::kTexts && std::strchr(value, '\n'))
      return Fail(why, "option --" + std::string(row.name) + " takes no line break");
    if (row.kind == OptionKind::kTexts && text)
      text->append(1, '\n').append(value);
    else
      text = value;
    if (row.kind == OptionKind::kPassword) options->ask_password = false;
  }
  options->given |= Bit(row);
  return true;
}

const OptionRow* FindLetter(char letter) {
  for (const OptionRow& row : kRows)
    if (letter != '\0' && row.letter == letter) return &row;
  return nullptr;
}

// The mistake of an unknown short option, with a hint for the letters other
// MySQL programs use.
std::string UnknownShort(const char* arg) {
  std::string why = std::string("unknown option ") + arg + ": the options are -l -h -o -u -p -d -f";
  if (arg[1] == 'P') why += "; the port is -o or --port";
  if (arg[1] == 'S') why += "; the socket is --socket";
  return why;
}

// The slot of a locale name in any case ("ruRU"), or -1.
int LocaleNamed(const char* text) {
  for (std::uint32_t i = 0; i < kLocaleCount; ++i)
    if (::strcasecmp(text, kLocaleNames[i]) == 0) return static_cast<int>(i);
  return -1;
}

bool IsLocaleName(const char* text) {
  return LocaleNamed(text) >= 0 || ::strcasecmp(text, "auto") == 0;
}

// Where atoi's digits start: after leading blanks and an optional sign
// (*negative tells which).
const char* DigitsOf(const char* text, bool* negative) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  *negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  return p;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether atoi would find digits: blanks, a sign, then a digit.
bool HasLeadingDigits(const char* text) {
  bool negative;
  return IsDigit(*DigitsOf(text, &negative));
}

}  // namespace

std::span<const OptionRow> OptionTable() { return kRows; }

const OptionRow* FindOption(std::string_view name) {
  for (const OptionRow& row : kRows) {
    const std::string_view known = row.name;
    if (known.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < known.size() && same; ++i)
      same = known[i] == name[i] || (known[i] == '-' && name[i] == '_');
    if (same) return &row;
  }
  return nullptr;
}

int ParseInt(const char* text) {
  bool negative = false;
  const char* p = DigitsOf(text, &negative);
  std::int64_t value = 0;
  const std::int64_t limit = negative ? -std::int64_t{INT_MIN} : INT_MAX;
  // The value stays saturated while the remaining digits are consumed.
  for (; IsDigit(*p); ++p) value = std::min(value * 10 + (*p - '0'), limit);
  return static_cast<int>(negative ? -value : value);
}

bool IsPlainNumber(const char* text) {
  bool negative;
  const char* p = DigitsOf(text, &negative);
  if (!IsDigit(*p)) return false;
  while (IsDigit(*p)) ++p;
  return *p == '\0';
}

int LocaleIndex(const char* text) {
  const int named = LocaleNamed(text);
  return named >= 0 ? named : ParseInt(text);
}

int Options::LocaleIndex() const {
  return locale && !AutoLocale() ? ::LocaleIndex(locale->c_str()) : 0;
}
bool Options::AutoLocale() const { return locale && ::strcasecmp(locale->c_str(), "auto") == 0; }
int Options::Port() const { return port ? ParseInt(port->c_str()) : 0; }
unsigned Options::ConnectTimeout() const {
  return connect_timeout ? static_cast<unsigned>(ParseInt(connect_timeout->c_str())) : 20;
}
unsigned Options::LockWait() const {
  return lock_wait ? static_cast<unsigned>(ParseInt(lock_wait->c_str())) : 60;
}

Engine Options::TableEngine() const {
  return engine && ::strcasecmp(engine->c_str(), "InnoDB") == 0 ? Engine::kInnoDB : Engine::kMyISAM;
}
unsigned Options::Parallel() const {
  return parallel ? static_cast<unsigned>(ParseInt(parallel->c_str())) : 2;
}

SetResult SetByName(std::string_view name, const char* value, Options* options, std::string* why) {
  if (const OptionRow* row = FindOption(name))
    return Assign(*row, value, options, why) ? SetResult::kSet : SetResult::kBadValue;
  bool on = false;
  if (const OptionRow* row = FindFlagPrefixed(name, &on)) {
    if (value && BooleanValue(value) != true) {
      Fail(why, "option --" + std::string(name) + " takes no value");
      return SetResult::kBadValue;
    }
    options->*row->flag = on;
    options->given |= Bit(*row);
    return SetResult::kSet;
  }
  std::string mistake = "unknown option --" + std::string(name);
  if (const OptionRow* nearest = NearestOption(name))
    mistake += std::string("; did you mean --") + nearest->name + "?";
  Fail(why, mistake + " (--help lists every option)");
  return SetResult::kUnknown;
}

std::size_t Edits(std::string_view a, std::string_view b, std::size_t most) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > most) return most + 1;
  const auto same = [](char x, char y) { return ::tolower(x) == ::tolower(y); };
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

const OptionRow* NearestOption(std::string_view name) {
  const OptionRow* nearest = nullptr;
  std::size_t best = 3;
  for (const OptionRow& row : kRows) {
    const std::size_t edits = Edits(name, row.name, 2);
    if (edits < best) {
      best = edits;
      nearest = &row;
    }
  }
  return nearest;
}

const OptionRow* FindFlagPrefixed(std::string_view name, bool* on) {
  for (const auto& [prefix, turns_on] :
       {std::pair{"skip", false}, {"disable", false}, {"enable", true}}) {
    const std::string_view p = prefix;
    if (name.size() <= p.size() + 1 || !name.starts_with(p)) continue;
    if (name[p.size()] != '-' && name[p.size()] != '_') continue;
    const OptionRow* row = FindOption(name.substr(p.size() + 1));
    if (!row || row->kind != kFlag) continue;
    *on = turns_on;
    return row;
  }
  return nullptr;
}

bool StripLoose(std::string_view* name) {
  if (!name->starts_with("loose-") && !name->starts_with("loose_")) return false;
  name->remove_prefix(6);
  return true;
}

// Flags that ask the opposite of each other: one given on the command line
// also wins over the other from an option file.
constexpr std::pair<bool Options::*, bool Options::*> kOpposites[] = {
    {&O::keep_edited, &O::replace_edited}};

// Whether the command line gave the opposite of the flag of `row`.
bool OppositeGiven(const Options& options, const OptionRow& row) {
  const auto given = [&](bool Options::*flag) {
    for (const OptionRow& other : kRows)
      if (other.flag == flag) return (options.given & Bit(other)) != 0;
    return false;
  };
  for (const auto& [one, other] : kOpposites)
    if ((row.flag == one && given(other)) || (row.flag == other && given(one))) return true;
  return false;
}

void FillFrom(Options* options, const Options& fallback) {
  for (const OptionRow& row : kRows) {
    if ((options->given & Bit(row)) || !(fallback.given & Bit(row))) continue;
    if (row.flag && OppositeGiven(*options, row)) continue;
    if (row.flag) options->*row.flag = fallback.*row.flag;
    if (row.text) options->*row.text = fallback.*row.text;
    if (row.kind == OptionKind::kPassword) options->ask_password = fallback.ask_password;
    options->given |= Bit(row);
  }
}

bool Validate(const Options& options, std::string* why, std::string* warning) {
  for (const OptionRow& row : kRows) {
    if (!row.text || !(options.*row.text)) continue;
    const char* text = (options.*row.text)->c_str();
    if (row.kind == OptionKind::kLocale) {
      if (!IsLocaleName(text) && !HasLeadingDigits(text)) {
        std::string names;
        for (std::uint32_t i = 0; i < kLocaleCount; ++i)
          names += (i ? ", " : "") + std::to_string(i) + " " + kLocaleNames[i];
        return Fail(why, "locale " + std::string(text) +
                             " is neither a slot number nor a name: " + names + ", or auto");
      }
      continue;
    }
    if (row.text == &O::engine) {
      if (::strcasecmp(text, "MyISAM") != 0 && ::strcasecmp(text, "InnoDB") != 0)
        return Fail(why, "option --engine takes MyISAM or InnoDB, not " + std::string(text));
      continue;
    }
    // The port keeps the rules of -o, checked where server mode is chosen.
    if (row.kind != kInteger || row.letter == 'o') continue;
    const long long value = ParseInt(text);
    if (!IsPlainNumber(text) || value < row.min || value > row.max)
      return Fail(why, "option --" + std::string(row.name) + " takes a whole number from " +
                           std::to_string(row.min) + " to " + std::to_string(row.max) + ", not " +
                           text);
  }
  const int locale = options.LocaleIndex();
  if (options.locale && !IsLocaleName(options.locale->c_str()) &&
      (locale < 0 || locale >= static_cast<int>(kLocaleCount)))
    *warning = "locale " + *options.locale + " is out of range (0 to 11): slot 0 (enGB) is used";
  return true;
}

bool TakesNextArgument(const char* arg) {
  if (arg[0] != '-') return false;
  if (arg[1] != '-') return true;
  const std::string_view name(arg + 2);
  if (name.find('=') != std::string_view::npos) return false;
  const OptionRow* row = FindOption(name);
  return row && row->kind != kFlag && row->kind != OptionKind::kPassword;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* why,
                  bool* unknown_long) {
  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      std::string mistake = std::string("argument ") + arg + " is not an option";
      // "-pSECRET -d world": -p took -d as its value.
      const char* option = i >= 2 ? argv[i - 2] : "";
      const char* taken = argv[i - 1];
      if (i >= 2 && option[0] == '-' && option[1] != '-' && option[1] && option[2] &&
          taken[0] == '-')
        mistake = std::string("option -") + option[1] + " took " + taken +
                  " as its value, as only its letter counts: write -" + option[1] + " " +
                  (option + 2) + " " + taken + " ...";
      return Fail(why, mistake);
    }
    if (arg[1] != '-') {
      // The seven short options: the next argument is always the value.
      const OptionRow* row = FindLetter(arg[1]);
      if (!row) return Fail(why, UnknownShort(arg));
      if (i + 1 >= argc) return Fail(why, std::string("option ") + arg + " needs a value");
      Assign(*row, argv[i + 1], options, why);
      i += 2;
      continue;
    }
    const std::string_view text(arg + 2);
    const std::size_t equals = text.find('=');
    std::string_view name = text.substr(0, equals);
    const char* value = equals == std::string_view::npos ? nullptr : arg + 2 + equals + 1;
    ++i;
    StripLoose(&name);
    const OptionRow* row = FindOption(name);
    // A value in the next argument, for options that need one.
    if (!value && row && row->kind != kFlag && row->kind != OptionKind::kPassword) {
      if (i >= argc) return Fail(why, "option --" + std::string(name) + " needs a value");
      value = argv[i++];
    }
    const SetResult set = SetByName(name, value, options, why);
    if (unknown_long) *unknown_long = set == SetResult::kUnknown;
    if (set != SetResult::kSet) return false;
  }
  return true;
}

std::string OptionHelp() {
  std::string out;
  for (const OptionRow& row : kRows) {
    std::string left = row.letter ? std::string(" -") + row.letter + ", --" : "     --";
    left += row.name;
    if (row.arg)
      left += (row.kind == OptionKind::kPassword ? "[=" : "=") + std::string(row.arg) +
              (row.kind == OptionKind::kPassword ? "]" : "");
    constexpr std::size_t kColumn = 30;
    out += left;
    // The help text wrapped into the right-hand column.
    std::size_t at = left.size() < kColumn ? left.size() : (out += "\n", 0);
    const std::string_view words = row.help;
    for (std::size_t start = 0; start < words.size();) {
      std::size_t end = words.find(' ', start);
      if (end == std::string_view::npos) end = words.size();
      const std::string_view word = words.substr(start, end - start);
      if (at > kColumn && at + 1 + word.size() > 79) {
        out += "\n";
        at = 0;
      }
      if (at < kColumn) {
        out.append(kColumn - at, ' ');
        at = kColumn;
      } else {
        out += ' ';
        ++at;
      }
      out += word;
      at += word.size();
      start = end + 1;
    }
    out += "\n";
  }
  return out;
}
