// The tool's own lines on standard error: what the console text does not
// say (a reason, a warning), kept apart so that standard output stays the
// exact console. Standard output is flushed first, so that the two appear
// in order on a terminal, and every line fits 80 columns: a longer one is
// wrapped at blanks, its continuation lines indented by four.
#pragma once

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
