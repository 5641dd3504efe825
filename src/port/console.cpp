#include "port/console.h"

#include <cstdio>

namespace {
constexpr char kName[] = "vesk-dbc2sql";
}  // namespace

void Warn(const std::string& text) { WarnLine(std::string(kName) + ": " + text); }

void WarnLine(const std::string& text) {
  std::fflush(stdout);
  std::fputs(Wrap(text, "", "    ").c_str(), stderr);
}

std::string Wrap(const std::string& text, const std::string& first, const std::string& rest,
                 std::size_t width) {
  if (first.size() + text.size() <= width) return first + text + "\n";  // as it is
  std::string out, line = first;
  std::size_t at = 0;
  bool empty = true;  // nothing of the text on the line yet
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(at, end - at);
    at = end + 1;
    while (!word.empty()) {
      const std::size_t used = line.size() + (empty ? 0 : 1);
      if (used + word.size() <= width) {
        line += (empty ? "" : " ") + word;
        empty = false;
        break;
      }
      if (!empty) {  // the word goes on the next line
        out += line + "\n";
        line = rest;
        empty = true;
        continue;
      }
      const std::size_t room = width > used ? width - used : 1;
      line += word.substr(0, room);  // longer than a whole line: cut
      word.erase(0, room);
      out += line + "\n";
      line = rest;
    }
  }
  return out + line + "\n";
}
