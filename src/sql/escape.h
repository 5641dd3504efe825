// Escaping of string values for single-quoted SQL literals, byte for byte as
// the MySQL client library's mysql_escape_string() escapes them (a backslash
// before NUL, line feed, carriage return, backslash, quotes and Control-Z),
// and the last path component of a stored path.
#pragma once

#include <cstddef>

#include "port/text_buffer.h"

// Appends the escaped form of the `length` bytes at `s` to `out`.
void AppendEscaped(TextBuffer& out, const char* s, std::size_t length);

// Start of the last path component of the `length` bytes at `s`: after the
// last backslash among all but the final character, or `s` itself.
const char* BaseName(const char* s, std::size_t length);
