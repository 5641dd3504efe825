// A line read from the process's terminal without echo: the password
// prompt. While the prompt is up, a signal that would end the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, where nothing else handles it) first
// puts the terminal's echo back.
#pragma once

#include <string>

// Writes `prompt` to the terminal (/dev/tty) and reads one line from it,
// without echo where it is a terminal; the line's end (and a carriage
// return before it) is left out. False when the process has no terminal.
bool ReadFromTerminal(const char* prompt, std::string* line);
