// The run sequence: banner, options, choice and opening of the output, the
// export of every catalogue table in order, and the closing of the output.
#pragma once

// Exit statuses of a run.
constexpr int kExitOk = 0;          // every table exported in full
constexpr int kExitIncomplete = 1;  // output not opened, or a table not
                                    // exported in full
constexpr int kExitUsage = 2;       // malformed command line or option file,
                                    // or no mode

// Wipes the password from argv once it has been read.
int RunTool(int argc, char** argv);
