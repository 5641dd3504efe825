// Where a run finds the client files: the client folder's dbc folder, as
// ever; an extracted DBFilesClient folder in its place; or, for an
// installed client without either, the archives of its Data folder (or the
// archives --archive names). Chosen once, before the mode runs; the
// readers made after it read from there (ClientFiles::Active()).
#pragma once

#include <memory>
#include <string>

#include "app/options.h"
#include "catalogue/catalogue.h"
#include "dbc/client_archives.h"

class ClientLayout {
 public:
  ClientLayout() = default;
  ~ClientLayout();
  ClientLayout(const ClientLayout&) = delete;
  ClientLayout& operator=(const ClientLayout&) = delete;

  // Chooses, and says on standard error (unless --quiet) where the files
  // are read from when it is not the dbc folder. False, with the reason, when the archives
  // cannot be found or opened.
  bool Choose(const Options& options, std::string* why);

  // "Data/patch-3.MPQ" for a client file read from an archive, else "".
  static std::string SourceOf(const char* catalogue_path);
  // The table's client files as a line names them: the catalogue's paths
  // ("dbc\Spell.dbc"), or, read from archives, each with its archive
  // ("DBFilesClient\Spell.dbc in Data/patch-3.MPQ").
  static std::string FilesOf(const TableDescriptor& table);
  // Where the table's files are read from, joined with ", ": their
  // archives, or their paths in the client folder ("dbc/Spell.dbc").
  static std::string SourcesOf(const TableDescriptor& table);

 private:
  std::unique_ptr<ArchiveClientFiles> archives_;
};
