#include "sinks/dbc_to_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dbc/host_path.h"
#include "port/console.h"
#include "port/durable_file.h"
#include "port/interrupt.h"
#include "port/test_pause.h"

namespace {

// Whether the path is one to write directly: an existing file that is not
// a regular one (a device, a FIFO, a socket), decided by what the file is,
// not by where its name points.
bool WriteInPlace(const struct stat* st) { return st && !S_ISREG(st->st_mode); }

// Opens the FIFO `path` for writing once a process reads it: the wait is
// said after a while, and a signal ends it. The descriptor, or -1 with
// errno set (EINTR: interrupted).
int OpenFifo(const char* path) {
  for (int waited = 0;; ++waited) {
    const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (errno != ENXIO) return -1;
    if (waited == 0) TestPause("fifo-wait");
    if (PendingInterrupt()) {
      errno = EINTR;
      return -1;
    }
    if (waited == 200)  // 10 s
      Warn(std::string(path) + " is a FIFO that no process reads yet; waiting for one");
    ::poll(nullptr, 0, 50);
  }
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
    CountFault(FaultKind::kOutput, std::string("cannot create SQL file ") + path + ": " + reason);
    return false;
  }
  path_ = path;
  ring_ = std::make_unique<ScriptRing>(fd_);
  if (durable_) ring_->FlushBehind();  // it is flushed before the swap
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
    const std::string target = FollowLinks(path);
    if (exists && ::access(target.c_str(), W_OK) != 0) {
      *reason = std::strerror(errno);
      return false;
    }
    if (exists) in_place_why = WhyNotReplaceable(target, st);
    int error = 0;
    if (in_place_why.empty() && file_.Open(target, exists ? &st : nullptr, &error)) {
      fd_ = file_.fd();
      durable_ = true;
      return true;
    }
    if (in_place_why.empty())
      in_place_why =
          std::string("no temporary file can be made in its folder (") + std::strerror(error) + ")";
  }
  // Devices, FIFOs and sockets are written in place, and so is a
  // regular file that cannot be replaced; that one is said to be partial
  // should the run not end well.
  fd_ = exists && S_ISFIFO(st.st_mode)
            ? OpenFifo(path)
            : ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0 && errno == EINTR) {
    *reason = InterruptedBy(PendingInterrupt()) + " while it waited for a process to read it";
    return false;
  }
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
  CountFault(FaultKind::kOutput, reason);
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
  if (!durable_) return replaces_ ? "the script " + path_ + " is left partial" : "";
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
  if (!durable_) {
    if (::close(fd_) != 0 && !discard_) Fail("closing", errno);
  } else if (failed_ || discard_) {
    file_.Discard();  // only a script written in full replaces the target
  } else {
    const DurableFile::Outcome out = file_.Commit();
    if (out.error) Fail(out.closing ? "closing" : "writing", out.error);
    // The script is in place; what went wrong after fails the run.
    for (const std::string& fault : out.faults) {
      Warn(fault);
      CountFault(FaultKind::kOutput, fault, 0, true);
    }
  }
  fd_ = -1;
  durable_ = false;
  std::printf("Close file\n");
}
