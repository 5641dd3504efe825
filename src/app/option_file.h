// MySQL option files (--defaults-file), read by the tool itself the way the
// MySQL tools read them (my_print_defaults shows the same lines): groups
// matched in any case, '#' and ';' comments, single or double quotes around
// a value with backslash escapes, bare names, !include and !includedir.
// The values are then handed to the client library as its options, so that
// the command line always wins over the file.
//
// The tool reads the groups [client] (shared by every MySQL program: only
// its connection options and the database are taken; other programs' keys
// are passed over, and a key no program knows is warned about) and
// [vesk-dbc2sql] (every long option of the tool; an unknown key ends the
// run). A file that is missing, unreadable, not a regular file or writable
// by every user ends the run before anything is opened.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct Options;

struct OptionLine {
  std::string file;  // the file the line stands in (an included one)
  int line = 0;
  std::string group;                 // as written
  std::string name;                  // as written
  std::optional<std::string> value;  // none for a bare name
};

// The lines of the groups `groups` (matched in any case) of `path` and the
// files it includes, in the order read. False, with the reason, when the
// file cannot be used or a line of it is malformed. As with the MySQL tools,
// an included file that is not there is passed over, and one that cannot be
// used or holds a malformed line is left there with a line in `warnings`,
// which also gets one for a group name a typo or two from the tool's.
bool ReadOptionFile(const std::string& path, const std::vector<std::string>& groups,
                    std::vector<OptionLine>* lines, std::string* why,
                    std::vector<std::string>* warnings = nullptr);

// Reads `path` (from --defaults-file) into `options`: the lines of [client]
// and [vesk-dbc2sql] in file order, a later one winning. False, with the
// reason, when the file cannot be used or holds a key or value the tool
// refuses; `warnings` gets one line per [client] key that no program knows.
bool ApplyOptionFile(const std::string& path, Options* options, std::vector<std::string>* warnings,
                     std::string* why);

// --print-defaults: prints the lines of [client] and [vesk-dbc2sql] of
// `files` as my_print_defaults does ("--name=value", "--name" for a bare
// one), one per line in the order read, but a password masked. False, said
// on standard error, when a file cannot be read.
bool PrintDefaults(const std::vector<std::string>& files);
