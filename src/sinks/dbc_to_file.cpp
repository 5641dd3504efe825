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
#include "port/durable_replace.h"
#include "port/interrupt.h"

namespace {

// Whether the path is one to write directly: an existing file that is not
// a regular one (a device, a FIFO, a socket), decided by what the file is,
// not by where its name points.
bool WriteInPlace(const struct stat* st) { return st && !S_ISREG(st->st_mode); }

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

void dbcToFILE::Rows::BeginRows(const LoadedTable&, StatementBuilder& builder, bool) {
  builder.Prepare();  // the builds on two threads only read it
  if (file_.fd_ >= 0 && !file_.failed_) file_.ring_->BeginRows(builder, file_.Helper());
}

RowOutput::RowsSent dbcToFILE::Rows::SendRows(std::uint32_t) {
  if (file_.fd_ < 0 || file_.failed_) return {.stopped = true};
  const std::uint32_t rows = file_.ring_->NextRows();
  if (rows == 0) {
    file_.Fail("writing", file_.ring_->error());
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
    } else if (std::string leftover; Replace(temporary_, target_, &leftover)) {
      // The script is in place; a folder that cannot be flushed fails the run.
      if (const std::string unsynced = SyncFolder(target_); !unsynced.empty()) {
        Warn(unsynced);
        CountFault(unsynced, 0, true);
      }
      // The script is in place; what is left beside it fails the run.
      if (!leftover.empty()) {
        Warn(leftover);
        CountFault(leftover, 0, true);
      }
    } else {
      Fail("closing", errno);
      ::unlink(temporary_.c_str());
    }
    SetDoomedFile(nullptr);
    temporary_.clear();
  }
  std::printf("Close file\n");
}
