// Putting a file written in full in place of another, so that whoever opens
// the target sees either the old file or the new one, and a power loss
// leaves one of them: the new file is written beside the target (in its
// folder), flushed by its writer, then swapped in, and the folder flushed.
// Also the checks that decide whether a target can be replaced this way at
// all, and the link following that finds the file a path really names.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

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

// Why a rename cannot put a new file in place of the existing `target`
// (which the user may write) with status `st`, or "" when it can: a mount
// point, or another user's file in a sticky folder.
std::string WhyNotReplaceable(const std::string& target, const struct stat& st);

// Makes a finished rename last: the folder's entry reaches the disk. The
// reason when it cannot ("the folder out of out/Spell.dbc cannot be flushed
// to the disk: ..."), or "".
std::string SyncFolder(const std::string& path);

// Writes all of `data` at `offset` of `fd`; the system's error, or 0.
int WriteAt(int fd, const void* data, std::size_t length, std::uint64_t offset);

// Writes the file `target` durably: `fill` writes a temporary file beside it
// (false, with its reason, when it fails), which is flushed, swapped in
// (Replace()) and its folder flushed. Nothing is left of a failed write, and
// a second signal removes the temporary file (SetDoomedFile()). False, with
// the reason; also when the file is in place but its folder could not be
// flushed.
bool WriteFileDurably(const std::string& target,
                      const std::function<bool(int fd, std::string* why)>& fill, std::string* why);
// The line of a file that WriteFileDurably() did not write durably: "not
// written: <why>", or "written, but <why>" when it is in place.
std::string NotDurableLine(const std::string& why);
