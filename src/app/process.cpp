#include "app/process.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "app/options.h"

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
    if (std::strncmp(arg, "--password=", 11) == 0)
      std::memset(arg + 11, 'x', std::strlen(arg + 11));
    if (!TakesNextArgument(arg) || i + 1 >= argc) continue;
    if (arg[1] == 'p') std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
    ++i;  // the value
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
