// The console of tables exported on several connections at once, made to
// read as if one connection had exported them in turn. Each table has a
// slot, its place in the export order. The slot at the head of the order
// writes to the standard streams as it goes (its lines and progress bar
// live); the others' text, standard output and standard error alike, is held
// back until every slot before theirs is done, then written in one go.
// Each exporting thread writes through a Writer, its ConsoleSink.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "port/console.h"
#include "port/mutex.h"

class HeldConsole {
 public:
  explicit HeldConsole(std::size_t slots);
  // Writes what is still held (tables of a run that ended early).
  ~HeldConsole();
  HeldConsole(const HeldConsole&) = delete;
  HeldConsole& operator=(const HeldConsole&) = delete;

  // One thread's console: the text of the slot it is on (none: written at
  // once, as text between tables belongs to none).
  class Writer : public ConsoleSink {
   public:
    explicit Writer(HeldConsole& console) : console_(console) {}
    void Begin(std::size_t slot) { slot_ = slot; }
    // The slot's text is complete.
    void End();
    void Write(int fd, const char* text, std::size_t length) override;

   private:
    HeldConsole& console_;
    std::size_t slot_ = kNone;
  };

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Piece {
    int fd;
    std::string text;
  };
  struct Slot {
    std::vector<Piece> held;
    bool done = false;
  };
  void Write(std::size_t slot, int fd, const char* text, std::size_t length) EXCLUDES(mutex_);
  void Done(std::size_t slot) EXCLUDES(mutex_);
  // Writes the text held for the head slot and moves the head past the
  // slots that are done.
  void Advance() REQUIRES(mutex_);
  static void Emit(int fd, const char* text, std::size_t length);

  Mutex mutex_;
  std::vector<Slot> slots_ GUARDED_BY(mutex_);
  std::size_t head_ GUARDED_BY(mutex_) = 0;  // the slot written live
};
