#include "app/options.h"

#include <strings.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "dbc/dbc_format.h"

int ParseInt(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::int64_t value = 0;
  const std::int64_t limit = negative ? -std::int64_t{INT_MIN} : INT_MAX;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value >= limit) {
      value = limit;
      // Keep consuming digits; the value stays saturated.
    }
  }
  return static_cast<int>(negative ? -value : value);
}

bool IsPlainNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') ++p;
  return *p == '\0';
}

int LocaleIndex(const char* text) {
  for (std::uint32_t i = 0; i < kLocaleCount; ++i)
    if (::strcasecmp(text, kLocaleNames[i]) == 0) return static_cast<int>(i);
  return ParseInt(text);
}

namespace {

bool Fail(std::string* why, std::string reason) {
  if (why) *why = std::move(reason);
  return false;
}

// The option a short letter or a long name sets; false for another one.
bool Set(char letter, const char* value, Options* options) {
  switch (letter) {
    case 'l': options->locale = LocaleIndex(value); break;
    case 'h': options->host = value; break;
    case 'o':
      options->port = ParseInt(value);
      options->port_text = value;
      break;
    case 'u': options->user = value; break;
    case 'p':
      options->password = value;
      options->ask_password = false;
      break;
    case 'd': options->database = value; break;
    case 'f': options->file = value; break;
    default: return false;
  }
  return true;
}

// Long options with a value, and the short letter they stand for ('\0'
// for those of their own).
struct LongOption {
  const char* name;
  char letter;
  const char* Options::*field;
};
constexpr LongOption kLong[] = {
    {"host", 'h', nullptr},
    {"port", 'o', nullptr},
    {"user", 'u', nullptr},
    {"password", 'p', nullptr},
    {"database", 'd', nullptr},
    {"file", 'f', nullptr},
    {"locale", 'l', nullptr},
    {"socket", '\0', &Options::socket},
    {"defaults-file", '\0', &Options::defaults_file},
    {"ssl-ca", '\0', &Options::ssl_ca},
    {"ssl-cert", '\0', &Options::ssl_cert},
    {"ssl-key", '\0', &Options::ssl_key},
    {"connect-timeout", '\0', &Options::connect_timeout},
    {"tables", '\0', &Options::tables},
    {"exclude", '\0', &Options::exclude},
};

// Long options that take no value.
struct LongFlag {
  const char* name;
  bool Options::*field;
};
constexpr LongFlag kFlags[] = {
    {"ssl", &Options::ssl},     {"ssl-verify-server-cert", &Options::ssl_verify_server_cert},
    {"list", &Options::list},   {"check", &Options::check},
    {"quiet", &Options::quiet}, {"atomic", &Options::atomic},
};

}  // namespace

bool TakesNextArgument(const char* arg) {
  if (arg[0] != '-') return false;
  if (arg[1] != '-') return true;
  const std::string_view name(arg + 2);
  if (name.find('=') != std::string_view::npos || name == "password") return false;
  for (const LongFlag& f : kFlags)
    if (name == f.name) return false;
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* why) {
  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    if (arg[0] != '-') return Fail(why, std::string("argument ") + arg + " is not an option");
    if (arg[1] != '-') {
      // The seven short options: the next argument is always the value.
      if (i + 1 >= argc) return Fail(why, std::string("option ") + arg + " needs a value");
      if (!Set(arg[1], argv[i + 1], options))
        return Fail(
            why, std::string("unknown option ") + arg + ": the options are -l -h -o -u -p -d -f");
      i += 2;
      continue;
    }
    const std::string_view text(arg + 2);
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const char* inline_value = equals == std::string_view::npos ? nullptr : arg + 2 + equals + 1;
    ++i;
    bool Options::*flag = nullptr;
    for (const LongFlag& f : kFlags)
      if (name == f.name) flag = f.field;
    if (flag) {
      if (inline_value)
        return Fail(why, std::string("option --") + std::string(name) + " takes no value");
      options->*flag = true;
      continue;
    }
    if (name == "password" && !inline_value) {
      options->ask_password = true;
      options->password = nullptr;
      continue;
    }
    const LongOption* found = nullptr;
    for (const LongOption& option : kLong)
      if (name == option.name) found = &option;
    if (!found) return Fail(why, "unknown option --" + std::string(name));
    const char* value = inline_value;
    if (!value) {
      if (i >= argc) return Fail(why, "option --" + std::string(name) + " needs a value");
      value = argv[i++];
    }
    if (found->letter)
      Set(found->letter, value, options);
    else
      options->*found->field = value;
  }
  return true;
}
