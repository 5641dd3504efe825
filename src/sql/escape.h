// Escaping of string values for single-quoted SQL literals, byte for byte as
// the MySQL client library's mysql_escape_string() escapes them (a backslash
// before NUL, line feed, carriage return, backslash, quotes and Control-Z).
#pragma once

#include <cstddef>

#include "port/text_buffer.h"

// Appends the escaped form of the `length` bytes at `s` to `out`.
void AppendEscaped(TextBuffer& out, const char* s, std::size_t length);
