// The program's name, as every message it prints starts with it, its
// option files' group is called, and its locks and marks on a server are
// named. The version comes from the build.
#pragma once

inline constexpr char kProgramName[] = "vesk-dbc2sql";
