// The client files of an installed client, which keeps them in its
// archives rather than in a dbc folder: Data/ and one locale folder
// (Data/ruRU/) hold base archives (common.MPQ, locale-ruRU.MPQ, ...) and
// patch archives (patch.MPQ, patch-ruRU-2.MPQ, patch-3.MPQ, ...), each a
// set of files named "DBFilesClient\Name.dbc". When two archives hold one
// file, the later in the order below wins:
//   - the base archives, first Data's, then the locale folder's (which
//     holds the texts of the client's language); within a folder, those of
//     the first release before the expansions' ("expansion", then
//     "lichking" in the name: an expansion ships newer versions of the
//     files it changes), then by name;
//   - the patch archives, by rank: no suffix, then -2 to -9, then -A to -Z;
//     at the same rank, Data's before the locale folder's.
// Names are matched without regard to case. The archives themselves are
// read through StormLib, a file at a time, never a whole archive into
// memory; the reader checks every byte of a file as it does on disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dbc/client_files.h"

// The rank of an archive of the Data folder or a locale folder, from its
// file name: a patch archive's rank (1 for no suffix, 2-9, then 10-35 for
// A-Z), 0 for a base archive; -1 when it is not an archive (.MPQ).
int ArchiveRank(const std::string& file_name);

// The archives of the client whose Data folder is `data`, the one that wins
// last. `locale` names the locale folder to use ("" when the client has
// one, which is then taken). False, with *why, when Data holds no archive,
// or several locale folders and none is chosen, or the one chosen is not
// there.
bool FindClientArchives(const std::string& data, const std::string& locale,
                        std::vector<std::string>* archives, std::string* why);

// The client files inside a set of archives, read only. Not thread-safe:
// one reader at a time opens and reads its files (a run's connections take
// turns through the reader's own lock, see ArchiveClientFiles::Open()).
class ArchiveClientFiles : public ClientFiles {
 public:
  ArchiveClientFiles();
  ~ArchiveClientFiles() override;
  ArchiveClientFiles(const ArchiveClientFiles&) = delete;
  ArchiveClientFiles& operator=(const ArchiveClientFiles&) = delete;

  // Opens `archives` (the one that wins last). False, with *why naming the
  // first archive that cannot be opened and the reason.
  bool OpenAll(const std::vector<std::string>& archives, std::string* why);

  bool Open(const char* catalogue_path, std::unique_ptr<TableSource>* source,
            Fault* fault) override;
  std::string SourceOf(const char* catalogue_path) override;
  std::uint64_t SizeOf(const char* catalogue_path) override;

  // The archives open, the one that wins last.
  std::vector<std::string> Paths() const;

  // "DBFilesClient\Spell.dbc" for "dbc\Spell.dbc".
  static std::string ArchivedName(const char* catalogue_path);

 private:
  struct Archive;
  // The archive that holds the file last, or null.
  Archive* Holder(const std::string& archived_name);

  std::vector<std::unique_ptr<Archive>> archives_;  // the one that wins last
};

// The file every archive the tool writes holds, so that a later run knows
// the archive as its own (and replaces no other).
inline constexpr char kArchiveMark[] = "(vesk-dbc2sql)";

// Writes the archive `path` (an empty or new file, replaced whole) holding
// `files` (each a file on disk and its name in the archive), compressed
// (zlib), with a listfile and the tool's mark, in format version 1, which
// every client from the first release on reads (3.2.2 included). False,
// with *why.
bool WriteArchive(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& files, std::string* why);

// Whether `path` is an archive that holds the tool's mark.
bool IsOwnArchive(const std::string& path);
