#include "port/console.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "port/program.h"

namespace {

// The calling thread's redirection, if any.
thread_local ConsoleSink* thread_sink = nullptr;
thread_local std::FILE* thread_out = nullptr;

ssize_t WriteToSink(void* cookie, const char* text, std::size_t length) {
  static_cast<ConsoleSink*>(cookie)->Write(1, text, length);
  return static_cast<ssize_t>(length);
}

}  // namespace

std::FILE* ConsoleOut() { return thread_out ? thread_out : stdout; }

RedirectConsole::RedirectConsole(ConsoleSink* to)
    : previous_sink_(thread_sink), previous_out_(thread_out) {
  cookie_io_functions_t functions = {};
  functions.write = WriteToSink;
  out_ = ::fopencookie(to, "w", functions);
  // Without a stream of its own the thread's console stays where it was.
  if (!out_) return;
  std::setvbuf(out_, nullptr, _IONBF, 0);
  thread_sink = to;
  thread_out = out_;
}

RedirectConsole::~RedirectConsole() {
  if (!out_) return;
  std::fclose(out_);
  thread_sink = previous_sink_;
  thread_out = previous_out_;
}

void Warn(const std::string& text) { WarnLine(std::string(kProgramName) + ": " + text); }

void WarnLine(const std::string& text) {
  const std::string lines = Wrap(text, "", "    ");
  if (thread_sink) {
    thread_sink->Write(2, lines.data(), lines.size());
    return;
  }
  std::fflush(stdout);
  std::fputs(lines.c_str(), stderr);
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
    // A view: a word longer than a line is cut from its front, in time
    // linear in its length.
    std::string_view word(text.data() + at, end - at);
    at = end + 1;
    while (!word.empty()) {
      const std::size_t used = line.size() + (empty ? 0 : 1);
      if (used + word.size() <= width) {
        if (!empty) line += ' ';
        line += word;
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
      word.remove_prefix(std::min(room, word.size()));
      out += line + "\n";
      line = rest;
    }
  }
  return out + line + "\n";
}
