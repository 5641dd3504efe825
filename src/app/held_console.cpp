#include "app/held_console.h"

#include <cstdio>

HeldConsole::HeldConsole(std::size_t slots) : slots_(slots) {}

HeldConsole::~HeldConsole() {
  MutexLock lock(mutex_);
  for (; head_ < slots_.size(); ++head_)
    for (const Piece& piece : slots_[head_].held)
      Emit(piece.fd, piece.text.data(), piece.text.size());
  std::fflush(stdout);
}

void HeldConsole::Writer::End() {
  if (slot_ != kNone) console_.Done(slot_);
  slot_ = kNone;
}

void HeldConsole::Writer::Write(int fd, const char* text, std::size_t length) {
  console_.Write(slot_, fd, text, length);
}

void HeldConsole::Emit(int fd, const char* text, std::size_t length) {
  if (fd == 2) {
    std::fflush(stdout);  // in order, on a terminal
    std::fwrite(text, 1, length, stderr);
  } else {
    std::fwrite(text, 1, length, stdout);
  }
}

void HeldConsole::Write(std::size_t slot, int fd, const char* text, std::size_t length) {
  MutexLock lock(mutex_);
  if (slot == kNone || slot <= head_ || slot >= slots_.size()) {
    Emit(fd, text, length);
    return;
  }
  std::vector<Piece>& held = slots_[slot].held;
  if (held.empty() || held.back().fd != fd) held.push_back({fd, ""});
  held.back().text.append(text, length);
}

void HeldConsole::Done(std::size_t slot) {
  MutexLock lock(mutex_);
  slots_[slot].done = true;
  Advance();
}

void HeldConsole::Advance() {
  while (head_ < slots_.size() && slots_[head_].done) {
    ++head_;
    if (head_ == slots_.size()) break;
    // The new head writes what it held, then goes on live.
    Slot& next = slots_[head_];
    for (const Piece& piece : next.held) Emit(piece.fd, piece.text.data(), piece.text.size());
    next.held.clear();
    next.held.shrink_to_fit();
  }
}
