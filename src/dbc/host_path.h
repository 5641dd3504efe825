// Maps a catalogue path ("dbc\Spell.dbc", backslash-separated, relative to
// the client folder: the working directory, or --client-dir) to a path on
// this host. Client folders copied
// between systems often change case, so a component that does not exist
// under its exact name is looked up case-insensitively in its folder. When
// several entries match only that way (spell.dbc and SPELL.DBC), none is
// taken: the path is ambiguous.
#pragma once

#include <string>
#include <vector>

struct HostPath {
  std::string path;  // the host path to open (the exact one when not found)
  // Set when a component matched several entries ignoring case: their full
  // host paths, sorted; `path` is then not to be opened.
  std::vector<std::string> ambiguous;
};

HostPath ResolveClientPath(const char* stored_path);

// The folder of the client's tables that the catalogue calls "dbc":
// another name of it, such as an extracted "DBFilesClient", when set. Set
// once, before any thread starts.
void SetTableFolder(const std::string& name);

// The client folder that relative catalogue paths start from: "" (the
// working directory) until set. Set once, before any thread starts.
void SetClientFolder(const std::string& folder);
const std::string& ClientFolder();

// Whether writing `target` would write a file that a run reads as the
// client file `stored_path`: the same file (through a link or another name
// of it), or, whether it exists yet or not, a name in the client's folder
// that the case-insensitive lookup of `stored_path` matches.
bool IsClientFile(const char* target, const char* stored_path);
