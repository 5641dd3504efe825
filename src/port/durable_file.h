// A file written in full and put in place of another, so that whoever opens
// the target sees either the old file or the new one, and a power loss
// leaves one of them: the new file is written beside the target (in its
// folder), flushed, swapped in, and the folder flushed (DurableFile). The
// script and the client files written back both go this way. Also the
// checks that decide whether a target can be replaced this way at all, and
// the link following that finds the file a path really names.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Puts the file at `temporary` in place of `target`, in one step for anyone
// who opens the target. An existing target is swapped with the new file and
// then removed: renaming over it would make the file system write out the
// whole new file before the rename returns (ext4 does so for files replaced
// by a rename), which costs more than the conversion of a large client's
// last tables. False, errno set, when the target was not replaced. When the
// old file stays behind under the temporary name, *leftover says so.
bool Replace(const std::string& temporary, const std::string& target, std::string* leftover);

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);

// The file a path names once every link is followed, even when the last
// link points at a file that does not exist yet (writing through the link
// would create it there).
std::string FollowLinks(const std::string& path);
// Whether the paths name one file (both there), or one new file (their
// links followed).
bool SameFile(const std::string& a, const std::string& b);

// Why a rename cannot put a new file in place of the existing `target`
// (which the user may write) with status `st`, or "" when it can: a mount
// point, or another user's file in a sticky folder.
std::string WhyNotReplaceable(const std::string& target, const struct stat& st);

// Makes a finished rename last: the folder's entry reaches the disk. The
// reason when it cannot ("the folder out of out/Spell.dbc cannot be flushed
// to the disk: ..."), or "".
std::string SyncFolder(const std::string& path);

// Removes the regular file `path`, then flushes its folder so that a power
// loss does not bring it back. A link, a folder or any other kind of file
// is left alone (false, with the reason); no file at all is nothing to
// remove (true, *removed unset).
bool RemoveDurably(const std::string& path, bool* removed, std::string* why);

// The new file of a target, from Open() to Commit(). It is made beside the
// target (a hidden ".NAME.XXXXXX"), with the target's permissions and owner
// when it replaces one (those of a new file otherwise), and a second signal
// removes it (SetDoomedFile()). One that is not committed is removed.
class DurableFile {
 public:
  DurableFile() = default;
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;
  ~DurableFile() { Discard(); }

  // Makes the new file of `target` (a path whose links are followed
  // already); `replaced`: the target's status when it exists. False, with
  // the system's error, when it cannot be made.
  bool Open(const std::string& target, const struct stat* replaced, int* error);
  int fd() const { return fd_; }
  // The new file's path, for a library that writes a file by its name.
  const std::string& path() const { return temporary_; }

  // What Commit() did.
  struct Outcome {
    bool in_place = false;  // the new file took the target's place
    int error = 0;          // why it did not, the system's error...
    bool closing = false;   // ... met in closing or swapping (not flushing)
    // What went wrong once it was in place: the old file left beside it
    // under the temporary name, the folder not flushed. Either fails what
    // wrote the file, which is in place all the same.
    std::vector<std::string> faults;
  };
  // Flushes the new file, puts it in the target's place (Replace()) and
  // flushes the folder. The file is closed either way, and removed when it
  // did not take the target's place.
  Outcome Commit();
  // Removes the new file; the target stays as it was.
  void Discard();

 private:
  int fd_ = -1;
  std::string temporary_, target_;
};

// Writes all of `data` at `offset` of `fd`; the system's error, or 0.
int WriteAt(int fd, const void* data, std::size_t length, std::uint64_t offset);
// Writes all of `data` at the position of `fd` (a pipe, a terminal); the
// system's error, or 0.
int WriteAll(int fd, const void* data, std::size_t length);
// Reads all `length` bytes at `offset` of `fd`; the system's error (EIO
// for a file that ends before), or 0.
int ReadAt(int fd, void* data, std::size_t length, std::uint64_t offset);

// The file `target`, written durably: `fill` writes the new file of a
// DurableFile (false, with its reason, when it fails), which is committed.
// Nothing is left of a failed write. False, with the reason; *in_place
// tells whether the file is in place all the same (its old file left
// beside it, or its folder not flushed).
bool WriteFileDurably(const std::string& target,
                      const std::function<bool(int fd, std::string* why)>& fill, std::string* why,
                      bool* in_place);
// A target that exists but is no regular file (a folder, a device, a FIFO)
// is refused and left as it is: never exchanged, never unlinked.
// The same, but a file that `same` finds unchanged (given the new file,
// open) is not written (*unchanged; true).
bool WriteFileDurably(const std::string& target,
                      const std::function<bool(int fd, std::string* why)>& fill, std::string* why,
                      bool* in_place, const std::function<bool(int fd)>& same, bool* unchanged);
// An output named by the user (a report): the file `path` names, written
// durably as WriteFileDurably() writes it when it is a regular file or
// none (a link's target is written, the link stays); a device, a FIFO or a
// socket is written in place (*in_place), whole, as `fill` made it in
// memory; a folder is refused. A FIFO that no process reads fails at once.
bool WriteOutputFile(const std::string& path,
                     const std::function<bool(int fd, std::string* why)>& fill, std::string* why,
                     bool* in_place);

// A file held in memory only (memfd), for what is built through a
// descriptor but never stored: closed with the object.
class MemoryFile {
 public:
  explicit MemoryFile(const char* name);
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile();
  // The descriptor, or -1 (error()) when none could be had.
  int fd() const { return fd_; }
  int error() const { return error_; }
  // The whole file's bytes; false when they cannot be read.
  bool Contents(std::string* bytes) const;

 private:
  int fd_ = -1;
  int error_ = 0;
};
