#include "app/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/options.h"
#include "port/terminal.h"

namespace {

bool closed_at_start[3];

}  // namespace

bool StandardDescriptorWasClosed(int fd) { return fd >= 0 && fd <= 2 && closed_at_start[fd]; }

void SilenceStandardOutput() {
  std::fflush(stdout);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  ::dup2(null, 1);
  ::close(null);
}

void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    closed_at_start[fd] = true;
    // open() returns the lowest free descriptor: this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void HidePasswordArguments(int argc, char** argv) {
  const auto is_password = [](const OptionRow* row) {
    return row && row->kind == OptionKind::kPassword;
  };
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (arg[0] != '-') return;
    if (arg[1] == '-') {
      std::string_view name(arg + 2);
      StripLoose(&name);
      const std::size_t equals = name.find('=');
      if (equals != std::string_view::npos && is_password(FindOption(name.substr(0, equals))))
        std::memset(arg + (name.data() - arg) + equals + 1, 'x', name.size() - equals - 1);
    }
    if (!TakesNextArgument(arg) || i + 1 >= argc) continue;
    for (const OptionRow& row : OptionTable())
      if (arg[1] != '-' && row.letter == arg[1] && is_password(&row))
        std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
    ++i;  // the value
  }
}

bool AskPassword(std::string* password, std::string* reason) {
  if (ReadFromTerminal("Enter password: ", password)) return true;
  *reason = "--password asks for the password on the terminal, and there is none";
  return false;
}
