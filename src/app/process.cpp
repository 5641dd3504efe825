#include "app/process.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "app/options.h"

namespace {

bool closed_at_start[3];

// The terminal and its settings while the password is asked for, for the
// handler that puts them back; -1 when no prompt is up.
volatile sig_atomic_t prompt_tty = -1;
termios prompt_before;

extern "C" void RestoreTerminal(int signal_number) {
  if (prompt_tty >= 0) ::tcsetattr(prompt_tty, TCSANOW, &prompt_before);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

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
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    *reason = "--password asks for the password on the terminal, and there is none";
    return false;
  }
  termios before;
  const bool is_terminal = ::tcgetattr(tty, &before) == 0;
  // The signals that end the process at the prompt put the echo back.
  constexpr int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction saved[std::size(kEnding)];
  if (is_terminal) {
    prompt_before = before;
    prompt_tty = tty;
    struct sigaction restore = {};
    restore.sa_handler = RestoreTerminal;
    sigemptyset(&restore.sa_mask);
    for (std::size_t i = 0; i < std::size(kEnding); ++i) {
      ::sigaction(kEnding[i], nullptr, &saved[i]);
      if (saved[i].sa_handler == SIG_DFL) ::sigaction(kEnding[i], &restore, nullptr);
    }
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
  if (is_terminal) {
    ::tcsetattr(tty, TCSANOW, &before);
    for (std::size_t i = 0; i < std::size(kEnding); ++i)
      if (saved[i].sa_handler == SIG_DFL) ::sigaction(kEnding[i], &saved[i], nullptr);
    prompt_tty = -1;
  }
  ::close(tty);
  return true;
}
