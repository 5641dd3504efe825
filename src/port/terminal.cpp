#include "port/terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iterator>
#include <string_view>

namespace {

// The terminal and its settings while the prompt is up, for the handler
// that puts them back; -1 when no prompt is up.
volatile sig_atomic_t prompt_tty = -1;
termios prompt_before;

extern "C" void RestoreTerminal(int signal_number) {
  if (prompt_tty >= 0) ::tcsetattr(prompt_tty, TCSANOW, &prompt_before);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

bool ReadFromTerminal(const char* prompt, std::string* line) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return false;
  termios before;
  const bool is_terminal = ::tcgetattr(tty, &before) == 0;
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
  std::string_view text = prompt;
  [[maybe_unused]] ssize_t n = ::write(tty, text.data(), text.size());
  line->clear();
  char c;
  while ((n = ::read(tty, &c, 1)) == 1 && c != '\n') line->push_back(c);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (is_terminal) {
    ::tcsetattr(tty, TCSANOW, &before);
    for (std::size_t i = 0; i < std::size(kEnding); ++i)
      if (saved[i].sa_handler == SIG_DFL) ::sigaction(kEnding[i], &saved[i], nullptr);
    prompt_tty = -1;
  }
  ::close(tty);
  return true;
}
