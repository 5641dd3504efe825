#include "app/option_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/options.h"
#include "port/console.h"
#include "port/program.h"

namespace {

constexpr const char* kToolGroup = kProgramName;  // the tool's own group
constexpr int kMaxIncludeDepth = 10;

// Keys of [client] that other MySQL programs use and this tool does not:
// passed over without a word.
constexpr const char* kOtherClientsKeys[] = {"default-character-set",
                                             "compress",
                                             "protocol",
                                             "max-allowed-packet",
                                             "net-buffer-length",
                                             "ssl-capath",
                                             "ssl-cipher",
                                             "ssl-crl",
                                             "ssl-crlpath",
                                             "tls-version",
                                             "local-infile",
                                             "plugin-dir",
                                             "default-auth",
                                             "character-sets-dir",
                                             "init-command",
                                             "bind-address",
                                             "secure-auth",
                                             "auto-rehash",
                                             "no-auto-rehash",
                                             "pager",
                                             "prompt",
                                             "show-warnings",
                                             "sigint-ignore",
                                             "reconnect",
                                             "safe-updates",
                                             "i-am-a-dummy",
                                             "column-type-info",
                                             "max-join-size",
                                             "select-limit",
                                             "server-arg",
                                             "quick",
                                             "silent",
                                             "verbose",
                                             "batch",
                                             "force",
                                             "comments",
                                             "binary-mode",
                                             "enable-cleartext-plugin",
                                             "ssl-fp",
                                             "ssl-fp-list",
                                             "ssl-passphrase",
                                             "net-read-timeout",
                                             "net-write-timeout",
                                             "wait-timeout",
                                             "shared-memory-base-name",
                                             "pipe",
                                             "no-defaults",
                                             "print-defaults",
                                             "defaults-extra-file",
                                             "defaults-group-suffix"};

bool Fail(std::string* why, std::string reason) {
  *why = std::move(reason);
  return false;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A key or group name as messages show it: a long one is cut.
std::string Shortened(std::string_view name) {
  constexpr std::size_t kShown = 40;
  if (name.size() <= kShown) return std::string(name);
  return std::string(name.substr(0, kShown)) + "... (" + std::to_string(name.size()) +
         " characters)";
}

// The line up to a '#' outside quotes.
std::string_view WithoutComment(std::string_view s) {
  char quote = 0;
  bool escape = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if ((c == '\'' || c == '"') && !escape) {
      if (!quote)
        quote = c;
      else if (quote == c)
        quote = 0;
    }
    if (!quote && c == '#') return s.substr(0, i);
    escape = quote && c == '\\' && !escape;
  }
  return s;
}

// A value: quotes around it removed, backslash escapes resolved.
std::string Unquoted(std::string_view v) {
  if (v.size() > 1 && (v.front() == '"' || v.front() == '\'') && v.front() == v.back())
    v = v.substr(1, v.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    switch (const char c = v[++i]) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'b': out += '\b'; break;
      case 's': out += ' '; break;
      case '"':
      case '\'':
      case '\\': out += c; break;
      default: out += '\\'; out += c;
    }
  }
  return out;
}

// Opens an option file for reading, refusing what a user cannot mean: a
// missing or unreadable file, a folder, a device or FIFO (which could block
// or never end), a file every user may write.
bool OpenOptionFile(const std::string& path, std::string* text, std::string* why) {
  if (path.empty()) return Fail(why, "--defaults-file names no file");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return Fail(why, "option file " + path + ": " + std::strerror(error));
  }
  std::string problem;
  if (!S_ISREG(st.st_mode))
    problem = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
  else if (st.st_mode & S_IWOTH)
    problem = "every user may write it";
  text->clear();
  char buffer[4096];
  for (ssize_t n; problem.empty() && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) problem = std::strerror(errno);
    if (n > 0) text->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!problem.empty()) return Fail(why, "option file " + path + ": " + problem);
  return true;
}

struct Reader {
  const std::vector<std::string>& groups;
  std::vector<OptionLine>* lines;
  std::vector<std::string>* warnings;
  std::string* why;

  bool Wanted(const std::string& group) const {
    for (const std::string& g : groups)
      if (::strcasecmp(g.c_str(), group.c_str()) == 0) return true;
    return false;
  }

  void Warning(std::string text) {
    if (warnings) warnings->push_back(std::move(text));
  }

  // Reads a file the one at `depth` - 1 includes. As the MySQL tools do, a
  // file that is not there is passed over, and one that cannot be used or
  // holds a malformed line is left (after the lines before it) with a
  // warning.
  void Include(const std::string& path, int depth, const std::string& where) {
    if (depth > kMaxIncludeDepth) {
      Warning(where + ": includes nested too deep; " + path + " is not read");
      return;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return;
    std::string reason;
    std::string* const outer = why;
    why = &reason;
    if (!Read(path, depth)) Warning(reason + "; the rest of that file is not read");
    why = outer;
  }

  bool Read(const std::string& path, int depth) {
    std::string text;
    if (!OpenOptionFile(path, &text, why)) return false;
    std::string group;
    bool in_group = false;
    int number = 0;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string_view line(text.data() + at, end - at);
      at = end + 1;
      ++number;
      const std::string where = path + ", line " + std::to_string(number);
      while (!line.empty() && IsSpace(line.front())) line.remove_prefix(1);
      if (line.empty() || line.front() == '#' || line.front() == ';') continue;
      if (line.front() == '!') {
        if (!Directive(Trim(line.substr(1)), depth, where)) return false;
        continue;
      }
      if (line.front() == '[') {
        const std::size_t close = line.find(']');
        if (close == std::string_view::npos)
          return Fail(why, where + ": a group without its closing ]");
        // Blanks after the name count for nothing, blanks before it make
        // another name ("[ client]" is not read), as for the MySQL tools.
        std::string_view name = line.substr(1, close - 1);
        while (!name.empty() && IsSpace(name.back())) name.remove_suffix(1);
        group = std::string(name);
        in_group = true;
        if (Wanted(group)) continue;
        if (Wanted(std::string(Trim(name))))
          Warning(where + ": group [" + group + "] is not read: a blank before its name makes " +
                  "another group");
        else if (Edits(Trim(name), kToolGroup, 2) <= 2)
          Warning(where + ": group [" + Shortened(group) + "] is not read; did you mean [" +
                  kToolGroup + "]?");
        continue;
      }
      if (!in_group) return Fail(why, where + ": an option before the first [group]");
      if (!Wanted(group)) continue;
      line = WithoutComment(line);
      OptionLine option{path, number, group, {}, {}};
      const std::size_t equals = line.find('=');
      option.name = std::string(Trim(line.substr(0, equals)));
      if (equals != std::string_view::npos) option.value = Unquoted(Trim(line.substr(equals + 1)));
      lines->push_back(std::move(option));
    }
    return true;
  }

  bool Directive(std::string_view directive, int depth, const std::string& where) {
    const auto argument = [&](std::string_view keyword) -> std::optional<std::string> {
      if (!directive.starts_with(keyword) || directive.size() <= keyword.size() ||
          !IsSpace(directive[keyword.size()]))
        return std::nullopt;
      return std::string(Trim(directive.substr(keyword.size())));
    };
    if (directive == "include" || directive == "includedir")
      return Fail(why, where + ": !" + std::string(directive) + " names no file");
    if (const auto folder = argument("includedir")) {
      if (depth >= kMaxIncludeDepth) {
        Warning(where + ": includes nested too deep; " + *folder + " is not read");
        return true;
      }
      DIR* dir = ::opendir(folder->c_str());
      if (!dir) return Fail(why, where + ": !includedir " + *folder + ": " + std::strerror(errno));
      std::vector<std::string> names;
      while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.ends_with(".cnf")) names.emplace_back(name);
      }
      ::closedir(dir);
      std::sort(names.begin(), names.end());
      for (const std::string& name : names) Include(*folder + "/" + name, depth + 1, where);
      return true;
    }
    if (const auto file = argument("include")) Include(*file, depth + 1, where);
    return true;  // an unknown directive is passed over, as the MySQL tools do
  }
};

bool IsOtherClientsKey(std::string name) {
  std::replace(name.begin(), name.end(), '_', '-');
  for (const char* key : kOtherClientsKeys)
    if (name == key) return true;
  return false;
}

// The row a name stands for, behind the flag prefixes.
const OptionRow* RowOf(std::string_view name) {
  bool on = false;
  if (const OptionRow* row = FindOption(name)) return row;
  return FindFlagPrefixed(name, &on);
}

}  // namespace

bool ReadOptionFile(const std::string& path, const std::vector<std::string>& groups,
                    std::vector<OptionLine>* lines, std::string* why,
                    std::vector<std::string>* warnings) {
  Reader reader{groups, lines, warnings, why};
  return reader.Read(path, 0);
}

bool ApplyOptionFile(const std::string& path, Options* options, std::vector<std::string>* warnings,
                     std::string* why) {
  std::vector<OptionLine> lines;
  if (!ReadOptionFile(path, {"client", kToolGroup}, &lines, why, warnings)) return false;
  for (const OptionLine& line : lines) {
    std::string_view name = line.name;
    const bool loose = StripLoose(&name);
    const bool ours = ::strcasecmp(line.group.c_str(), kToolGroup) == 0;
    const std::string where = line.file + ", line " + std::to_string(line.line);
    const std::string key = Shortened(name);
    const OptionRow* row = RowOf(name);
    if (row && !row->in_files)
      return Fail(why, where + ": " + key + " is not read from an option file");
    if (!ours && row && !row->connection) {
      warnings->push_back(where + ": " + key + " is not read from [client]; put it under [" +
                          kToolGroup + "]");
      continue;
    }
    if (!row) {
      if (loose) continue;
      if (ours) {
        const OptionRow* nearest = NearestOption(name);
        return Fail(why, where + ": unknown option " + key + " in [" + line.group + "]" +
                             (nearest ? std::string("; did you mean ") + nearest->name + "?" : ""));
      }
      if (!IsOtherClientsKey(key))
        warnings->push_back(where + ": unknown option " + key + " in [" + line.group +
                            "], passed over");
      continue;
    }
    std::string mistake;
    const char* value = line.value ? line.value->c_str() : nullptr;
    if (SetByName(name, value, options, &mistake) != SetResult::kSet)
      return Fail(why, where + ": " + mistake);
  }
  return true;
}

bool PrintDefaults(const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    std::vector<OptionLine> lines;
    std::vector<std::string> warnings;
    std::string why;
    if (!ReadOptionFile(file, {"client", kToolGroup}, &lines, &why, &warnings)) {
      Warn(why);
      return false;
    }
    for (const OptionLine& line : lines) {
      std::string_view name = line.name;
      StripLoose(&name);
      const OptionRow* row = RowOf(name);
      const bool password = row && row->kind == OptionKind::kPassword;
      std::printf("--%s%s%s\n", line.name.c_str(), line.value ? "=" : "",
                  !line.value ? ""
                  : password  ? "*****"
                              : line.value->c_str());
    }
  }
  return true;
}
