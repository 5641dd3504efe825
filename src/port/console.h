// The tool's own lines on standard error: what the console text does not
// say (a reason, a warning), kept apart so that standard output stays the
// exact console. Standard output is flushed first, so that the two appear
// in order on a terminal, and every line fits 80 columns: a longer one is
// wrapped at blanks, its continuation lines indented by four.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// "vesk-dbc2sql: <text>", wrapped.
void Warn(const std::string& text);
// `text` as it is, wrapped.
void WarnLine(const std::string& text);

// `text` cut into lines of at most `width` columns at blanks (a word longer
// than a line is cut), the first starting with `first`, the others with
// `rest`; each line ends with a line break. A text that fits is kept as it
// is.
std::string Wrap(const std::string& text, const std::string& first, const std::string& rest,
                 std::size_t width = 80);

// Where one thread's console goes instead of the standard streams: tables
// exported on several threads at once hold their lines back, so that the
// console reads as if one thread had exported them in turn.
class ConsoleSink {
 public:
  virtual ~ConsoleSink() = default;
  // Takes text meant for descriptor `fd` (1 or 2).
  virtual void Write(int fd, const char* text, std::size_t length) = 0;
};

// The calling thread's console text: standard output, or the stream of the
// sink redirecting it. Every console line of a table's export is written
// here; Warn() and WarnLine() follow the same redirection.
std::FILE* ConsoleOut();

// While one lives, the calling thread's console (ConsoleOut(), Warn(),
// WarnLine()) goes to `sink`, unbuffered; the thread's previous console
// comes back with its end.
class RedirectConsole {
 public:
  explicit RedirectConsole(ConsoleSink* sink);
  ~RedirectConsole();
  RedirectConsole(const RedirectConsole&) = delete;
  RedirectConsole& operator=(const RedirectConsole&) = delete;

 private:
  ConsoleSink* previous_sink_;
  std::FILE* previous_out_;
  std::FILE* out_;
};
