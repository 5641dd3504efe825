// The script's way to its file: a ring of text buffers that a background
// writer writes in ring order. Statements are appended to the open buffer.
// The rows of a table are built in pieces of a few hundred KiB, each into a
// buffer of its own, by the calling thread and the helper thread at once;
// whichever is free takes the next piece, so neither waits for the other,
// and the pieces reach the writer in row order. The system writes the
// earlier pieces meanwhile.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "port/background_writer.h"
#include "port/helper_thread.h"
#include "port/mutex.h"
#include "port/text_buffer.h"
#include "sql/statement_builder.h"

class ScriptRing {
 public:
  explicit ScriptRing(int fd);
  ~ScriptRing();  // writes what was handed over, then stops
  ScriptRing(const ScriptRing&) = delete;
  ScriptRing& operator=(const ScriptRing&) = delete;

  // Appends a statement; false once a write failed.
  bool Append(const char* text, std::size_t length);

  // Starts the rows of the table of `rows`, built with its AppendInsert()
  // (prepared for that table); an InnoDB table's rows in transactions.
  void BeginRows(const StatementBuilder& rows, HelperThread& helper);
  // Hands the next rows of the table to the writer, in order, and returns
  // how many (at least one while rows are left); 0 once a write failed.
  std::uint32_t NextRows();

  // Hands over what is left and waits until all of it is written; false
  // when a write failed.
  bool Finish();
  int error() { return writer_.error(); }
  // See BackgroundWriter::FlushBehind().
  void FlushBehind() { writer_.FlushBehind(); }
  // Bytes the system took (not those handed over).
  std::uint64_t bytes() const { return writer_.taken(); }
  // Bytes of the script so far: handed over, or appended and not yet. For
  // the thread that appends.
  std::uint64_t given() EXCLUDES(mutex_);

 private:
  static constexpr std::size_t kSlots = 8;
  static_assert(kSlots <= BackgroundWriter::kQueue);
  // A piece of rows fills about this much; statements are handed over once
  // their buffer holds this much.
  static constexpr std::size_t kPiece = 256 << 10;

  struct Slot {
    TextBuffer text;
    std::uint64_t ticket = 0;  // of its last trip to the writer
    std::uint32_t rows = 0;    // rows built into it
    bool built = false;        // complete, ready for the writer
  };
  struct Piece {
    Slot* slot;
    std::uint32_t first, end;
  };

  // The next slot of the ring, once the writer is done with it, emptied;
  // null after a write failure. With `piece`, the next piece of rows too;
  // null when all rows are taken. Waits for room in the ring only when
  // `wait` is set.
  Slot* Claim(Piece* piece, bool wait) REQUIRES(mutex_);
  // Builds a claimed piece (without the lock) and marks it built.
  void Build(const Piece& piece) REQUIRES(mutex_);
  // Hands the built slots at the head of the ring to the writer (taking the
  // writer's lock inside the ring's); the rows in them. Called by the thread
  // that began the rows.
  std::uint32_t SubmitBuilt() REQUIRES(mutex_);
  // Closes the open slot, if any, and hands it over with the built slots
  // before it.
  void SubmitOpen() REQUIRES(mutex_);
  // The helper's part: pieces until none are left.
  void BuildPieces();

  BackgroundWriter writer_;
  Mutex mutex_;
  std::condition_variable changed_;
  // The slots, but for the text of a slot, which belongs to the thread
  // that claimed it (reached through the Slot* it was given) until it is
  // marked built, then to the writer until its ticket is written.
  Slot slots_[kSlots] GUARDED_BY(mutex_);
  std::uint64_t claimed_ GUARDED_BY(mutex_) = 0;    // slots handed out, in ring order
  std::uint64_t submitted_ GUARDED_BY(mutex_) = 0;  // slots handed to the writer
  Slot* open_ GUARDED_BY(mutex_) = nullptr;         // the slot statements are appended to
  bool failed_ GUARDED_BY(mutex_) = false;
  std::uint64_t given_ GUARDED_BY(mutex_) = 0;  // bytes handed to the writer

  // The table whose rows are being built: set by BeginRows() before the
  // helper starts, read by both.
  const StatementBuilder* rows_ = nullptr;
  HelperThread* helper_ = nullptr;
  bool helping_ = false;  // the helper builds pieces of this table (the caller's)
  struct HelperJob {
    ScriptRing* ring;
    void operator()() const { ring->BuildPieces(); }
  } helper_job_{this};
  // An InnoDB table's transactions: their first rows, then the row count
  // (empty for MyISAM). Set with rows_, read by both.
  std::vector<std::uint32_t> transaction_starts_;
  std::uint32_t next_row_ GUARDED_BY(mutex_) = 0;  // first row not yet claimed
  std::uint32_t piece_rows_ GUARDED_BY(mutex_) = 0;
};
