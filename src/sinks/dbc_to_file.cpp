#include "sinks/dbc_to_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dbc/host_path.h"
#include "port/console.h"
#include "port/interrupt.h"

namespace {

// Whether the path is one to write directly: an existing file that is not
// a regular one (a device, a FIFO, a socket), decided by what the file is,
// not by where its name points.
bool WriteInPlace(const struct stat* st) { return st && !S_ISREG(st->st_mode); }

// Puts the script at `temporary` in place of `target`, in one step for
// anyone who opens the target. An existing target is swapped with the
// script and then removed: renaming over it would make the file system
// write out the whole new script before the rename returns (ext4 does so
// for files replaced by a rename), which costs more than the conversion of
// a large client's last tables. False, errno set, when the target was not
// replaced.
bool Replace(const std::string& temporary, const std::string& target) {
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    // The temporary name now holds the old script.
    if (::unlink(temporary.c_str()) != 0)
      std::fprintf(stderr, "Cannot remove the old script, now %s: %s\n", temporary.c_str(),
                   std::strerror(errno));
    return true;
  }
  // No target to swap with, or a file system without the swap.
  return ::rename(temporary.c_str(), target.c_str()) == 0;
}

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names once every link is followed, even when the last
// link points at a file that does not exist yet (the script then creates
// it there, as writing through the link would).
std::string FollowLinks(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (char* real = ::realpath(at.c_str(), nullptr)) {
      at = real;
      std::free(real);
      return at;
    }
    char link[PATH_MAX];
    const ssize_t n = ::readlink(at.c_str(), link, sizeof link - 1);
    if (n <= 0) return at;  // not a link: a new file
    link[n] = '\0';
    at = link[0] == '/' ? std::string(link) : FolderOf(at) + "/" + link;
  }
  return at;
}

// Whether this process may rename over other users' files in a sticky
// folder (CAP_FOWNER).
bool MayReplaceOthersFiles() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return ::geteuid() == 0;
  char line[256];
  unsigned long long effective = 0;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "CapEff: %llx", &effective) == 1) break;
  std::fclose(status);
  return (effective >> 3) & 1;  // CAP_FOWNER
}

// Why a rename cannot put a new file in place of the existing `target`
// (which the user may write), or "" when it can.
std::string WhyNotReplaceable(const std::string& target, const struct stat& st) {
  struct statx stx;
  if (::statx(AT_FDCWD, target.c_str(), 0, STATX_BASIC_STATS, &stx) == 0 &&
      (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
      (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT))
    return "it is a mount point";
  struct stat folder;
  if (::stat(FolderOf(target).c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) &&
      st.st_uid != ::geteuid() && folder.st_uid != ::geteuid() && !MayReplaceOthersFiles())
    return "its folder is sticky and the file belongs to another user";
  return "";
}

// Makes a finished rename last: the folder's entry reaches the disk.
void SyncFolder(const std::string& path) {
  const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  ::fsync(folder);
  ::close(folder);
}

}  // namespace

dbcToFILE::~dbcToFILE() { Close(); }

bool dbcToFILE::Open(const char* path, std::span<const char* const> inputs, int fd) {
  std::printf("Create SQL file %s: ", path);
  std::string reason, warning;
  fd_ = fd;
  // Standard output is checked as the file it is.
  const std::string written = fd >= 0 ? "/proc/self/fd/" + std::to_string(fd) : path;
  for (const char* input : inputs) {
    if (IsClientFile(written.c_str(), input)) {
      reason = std::string("it is the client file ") + input + ", which the run reads";
      break;
    }
  }
  if (!reason.empty() || (fd < 0 && !OpenOutput(path, &reason, &warning))) {
    fd_ = -1;  // standard output is not this sink's to close
    std::printf("ERROR\n");
    WarnLine(std::string("Cannot create SQL file ") + path + ": " + reason);
    CountFault(std::string("cannot create SQL file ") + path + ": " + reason);
    return false;
  }
  path_ = path;
  ring_ = std::make_unique<ScriptRing>(fd_);
  if (!temporary_.empty()) ring_->FlushBehind();  // it is flushed before the swap
  failed_ = false;
  discard_ = false;
  std::printf("ok\n");
  if (!warning.empty()) Warn(warning);
  return true;
}

bool dbcToFILE::OpenOutput(const char* path, std::string* reason, std::string* warning) {
  if (!*path) {
    *reason = std::strerror(ENOENT);
    return false;
  }
  struct stat st;
  const bool exists = ::stat(path, &st) == 0;
  replaces_ = exists;
  std::string in_place_why;  // why a regular file is written in place
  if (!WriteInPlace(exists ? &st : nullptr)) {
    // A link is followed: the file it points to is the one replaced.
    target_ = FollowLinks(path);
    if (exists && ::access(target_.c_str(), W_OK) != 0) {
      *reason = std::strerror(errno);
      return false;
    }
    if (exists) in_place_why = WhyNotReplaceable(target_, st);
    if (in_place_why.empty()) {
      const std::size_t name = target_.rfind('/') + 1;  // npos + 1 == 0
      std::string temporary = target_.substr(0, name) + "." + target_.substr(name) + ".XXXXXX";
      const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
      if (fd >= 0) {
        // The script keeps the target's permissions and owner (where we may
        // give it away), or gets those of a newly created file.
        if (exists) {
          ::fchmod(fd, st.st_mode & 07777);
          [[maybe_unused]] const int given = ::fchown(fd, st.st_uid, st.st_gid);
        } else {
          const mode_t mask = ::umask(0);
          ::umask(mask);
          ::fchmod(fd, 0666 & ~mask);
        }
        fd_ = fd;
        temporary_ = temporary;
        SetDoomedFile(temporary_.c_str());
        return true;
      }
      in_place_why =
          std::string("no temporary file can be made in its folder (") + std::strerror(errno) + ")";
    }
  }
  // Devices, FIFOs and sockets are written in place, and so is a
  // regular file that cannot be replaced; that one is said to be partial
  // should the run not end well.
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  if (!in_place_why.empty())
    *warning = std::string("writing ") + path + " in place: " + in_place_why +
               "; an interrupted or failed run leaves it partial";
  return true;
}

void dbcToFILE::Fail(const char* what, int error) {
  const std::string reason =
      std::string("ERROR ") + what + " SQL file " + path_ + ": " + std::strerror(error);
  if (!failed_) std::printf("%s\n", reason.c_str());
  failed_ = true;
  CountFault(reason);
}

bool dbcToFILE::Write(const char* text) {
  if (fd_ < 0 || failed_) return false;
  const bool taken = ring_->Append(text, std::strlen(text));
  if (!taken) Fail("writing", ring_->error());
  return taken;
}

void dbcToFILE::BeginRows() {
  if (fd_ >= 0 && !failed_) ring_->BeginRows(*this, Helper());
}

DBCFile::RowsSent dbcToFILE::SendRows(std::uint32_t) {
  if (fd_ < 0 || failed_) return {.stopped = true};
  const std::uint32_t rows = ring_->NextRows();
  if (rows == 0) {
    Fail("writing", ring_->error());
    return {.stopped = true};
  }
  return {.applied = rows};
}

bool dbcToFILE::Ready() { return fd_ >= 0 && !failed_; }

std::string dbcToFILE::Abandon(bool new_output_too) {
  if (fd_ < 0) return "";
  if (temporary_.empty()) return replaces_ ? "the script " + path_ + " is left partial" : "";
  if (!replaces_ && !new_output_too) return "";
  discard_ = true;
  return replaces_ ? "the old script " + path_ + " is kept" : "no script was written";
}

void dbcToFILE::Close() {
  if (fd_ < 0) return;
  const bool keep = !failed_ && !discard_;
  if (keep && !ring_->Finish()) Fail("writing", ring_->error());
  bytes_ = ring_->bytes();
  ring_.reset();
  // A script that replaces another reaches the disk before it takes the old
  // one's place: a power loss must not leave an empty script instead.
  if (!temporary_.empty() && !failed_ && !discard_ && ::fsync(fd_) != 0) Fail("writing", errno);
  if (::close(fd_) != 0 && !discard_) Fail("closing", errno);
  fd_ = -1;
  if (!temporary_.empty()) {
    // Only a script written in full replaces the target.
    if (failed_ || discard_) {
      ::unlink(temporary_.c_str());
    } else if (Replace(temporary_, target_)) {
      SyncFolder(target_);
    } else {
      Fail("closing", errno);
      ::unlink(temporary_.c_str());
    }
    SetDoomedFile(nullptr);
    temporary_.clear();
  }
  std::printf("Close file\n");
}
