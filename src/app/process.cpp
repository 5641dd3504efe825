#include "app/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    // open() returns the lowest free descriptor: this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void HidePasswordArguments(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (argv[i][0] != '-') return;
    if (argv[i][1] == 'p') std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
  }
}
