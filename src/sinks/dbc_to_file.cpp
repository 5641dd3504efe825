#include "sinks/dbc_to_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dbc/host_path.h"

namespace {

// The temporary file of the run, for the signal handler to remove. Only one
// script is written per process.
char pending_temporary[PATH_MAX + 32];

extern "C" void RemoveTemporaryAndDie(int signal_number) {
  if (pending_temporary[0]) ::unlink(pending_temporary);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void GuardTemporary(const std::string& path) {
  std::snprintf(pending_temporary, sizeof pending_temporary, "%s", path.c_str());
  struct sigaction action = {};
  action.sa_handler = RemoveTemporaryAndDie;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
}

void ReleaseTemporary() { pending_temporary[0] = '\0'; }

// Whether the path is one to write directly: not a regular file, or a
// special file system whose entries cannot be replaced by a rename.
bool WriteInPlace(const char* path, const struct stat* st) {
  if (std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/proc/", 6) == 0) return true;
  return st && !S_ISREG(st->st_mode);
}

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

}  // namespace

dbcToFILE::~dbcToFILE() { Close(); }

bool dbcToFILE::Open(const char* path, std::span<const char* const> inputs) {
  std::printf("Create SQL file %s: ", path);
  std::string reason;
  for (const char* input : inputs) {
    if (IsClientFile(path, input)) {
      reason = std::string("it is the client file ") + input + ", which the run reads";
      break;
    }
  }
  if (!reason.empty() || !OpenOutput(path, &reason)) {
    std::printf("ERROR\n");
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot create SQL file %s: %s\n", path, reason.c_str());
    CountFault(std::string("cannot create SQL file ") + path + ": " + reason);
    return false;
  }
  path_ = path;
  ring_ = std::make_unique<ScriptRing>(fd_);
  failed_ = false;
  std::printf("ok\n");
  return true;
}

bool dbcToFILE::OpenOutput(const char* path, std::string* reason) {
  struct stat st;
  const bool exists = ::stat(path, &st) == 0;
  std::string temporary;
  int fd = -1;
  if (!WriteInPlace(path, exists ? &st : nullptr)) {
    // A link is followed: the file it points to is the one replaced.
    target_ = path;
    if (exists) {
      if (char* real = ::realpath(path, nullptr)) {
        target_ = real;
        std::free(real);
      }
      if (::access(target_.c_str(), W_OK) != 0) {
        *reason = std::strerror(errno);
        return false;
      }
    }
    const std::size_t slash = target_.rfind('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    temporary = target_.substr(0, name) + "." + target_.substr(name) + ".XXXXXX";
    fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  }
  if (fd < 0) {
    // Devices, FIFOs and /proc entries are written in place, and so is a
    // target in a folder where no temporary file can be created.
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) *reason = std::strerror(errno);
    return fd_ >= 0;
  }
  // The script keeps the target's permissions and owner (where we may give
  // it away), or gets those of a newly created file.
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
  GuardTemporary(temporary_);
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

DBCFile::RowsSent dbcToFILE::SendRows(std::uint32_t first) {
  if (fd_ < 0 || failed_) return {.stopped = true};
  if (first == 0) ring_->BeginRows(*this, Helper());
  const std::uint32_t rows = ring_->NextRows();
  if (rows == 0) {
    Fail("writing", ring_->error());
    return {.stopped = true};
  }
  return {.applied = rows};
}

void dbcToFILE::Close() {
  if (fd_ < 0) return;
  if (!failed_ && !ring_->Finish()) Fail("writing", ring_->error());
  bytes_ = ring_->bytes();
  ring_.reset();
  if (::close(fd_) != 0) Fail("closing", errno);
  fd_ = -1;
  if (!temporary_.empty()) {
    // Only a script written in full replaces the target.
    if (failed_) {
      ::unlink(temporary_.c_str());
    } else if (!Replace(temporary_, target_)) {
      Fail("closing", errno);
      ::unlink(temporary_.c_str());
    }
    ReleaseTemporary();
    temporary_.clear();
  }
  std::printf("Close file\n");
}
