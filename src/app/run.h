// The run sequence: banner, options, choice and opening of the output, the
// export of every catalogue table in order, and the closing of the output.
#pragma once

#include <string>

// Exit statuses of a run.
constexpr int kExitOk = 0;          // every table exported in full
constexpr int kExitIncomplete = 1;  // output not opened, or a table not
                                    // exported in full
constexpr int kExitUsage = 2;       // malformed command line or option file,
                                    // or no mode

// A line of the tool's own on standard error ("vesk-dbc2sql: ..."), wrapped
// at 80 columns, after whatever standard output holds so far.
void Warn(const std::string& text);

// Wipes the password from argv once it has been read.
int RunTool(int argc, char** argv);
