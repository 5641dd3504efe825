// Maps a catalogue path ("dbc\Spell.dbc", backslash-separated, relative to
// the working directory) to a path on this host. Client folders copied
// between systems often change case, so a component that does not exist
// under its exact name is looked up case-insensitively in its folder.
#pragma once

#include <string>

std::string ResolveClientPath(const char* stored_path);
