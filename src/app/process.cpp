#include "app/process.h"

#include <fcntl.h>
#include <termios.h>
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
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (arg[0] != '-') return;
    if (arg[1] != '-') {  // a short option and its value
      if (i + 1 < argc && arg[1] == 'p') std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
      ++i;
    } else if (std::strncmp(arg, "--password=", 11) == 0) {
      std::memset(arg + 11, 'x', std::strlen(arg + 11));
    } else if (std::strchr(arg, '=') == nullptr) {
      // A long option whose value is the next argument, unless it is a flag.
      static const char* const kFlags[] = {"--password", "--ssl",   "--ssl-verify-server-cert",
                                           "--list",     "--check", "--quiet",
                                           "--atomic"};
      bool flag = false;
      for (const char* f : kFlags) flag = flag || std::strcmp(arg, f) == 0;
      if (!flag) ++i;
    }
  }
}

bool AskPassword(std::string* password, std::string* reason) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    *reason = "--password asks for the password on the terminal, and there is none";
    return false;
  }
  termios before;
  const bool is_terminal = ::tcgetattr(tty, &before) == 0;
  if (is_terminal) {
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(tty, TCSANOW, &quiet);  // what was typed ahead stays
  }
  const char prompt[] = "Enter password: ";
  [[maybe_unused]] ssize_t n = ::write(tty, prompt, sizeof prompt - 1);
  password->clear();
  char c;
  while ((n = ::read(tty, &c, 1)) == 1 && c != '\n') password->push_back(c);
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (is_terminal) ::tcsetattr(tty, TCSANOW, &before);
  ::close(tty);
  return true;
}
