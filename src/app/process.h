// Process-level safeguards taken before the run starts: standard descriptors
// that the caller left closed, and a password that other users could read
// from the process's command line.
#pragma once

#include <string>

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file or connection opened later takes the place of the console.
void OpenClosedStandardDescriptors();
// Whether descriptor `fd` (0, 1 or 2) was closed when the process started.
bool StandardDescriptorWasClosed(int fd);

// Sends standard output to /dev/null (a quiet run).
void SilenceStandardOutput();

// Overwrites the value of every -p and --password= option in place, so that
// `ps` and /proc/PID/cmdline no longer show it. Follows the option rules of
// the command line (a short option is followed by its value).
void HidePasswordArguments(int argc, char** argv);

// Asks for the password on the terminal ("Enter password: "), without
// echo. False, with the reason, when the process has no terminal. A signal
// that ends the process at the prompt (Ctrl-C) puts the terminal back as
// it was first.
bool AskPassword(std::string* password, std::string* reason);
