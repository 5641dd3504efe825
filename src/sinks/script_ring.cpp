#include "sinks/script_ring.h"

#include <algorithm>

namespace {

// Rows of the first piece of a table; the bytes per row of the pieces built
// size the later ones. A table of no more than two such pieces is built by
// the calling thread alone.
constexpr std::uint32_t kFirstPiece = 64;

}  // namespace

ScriptRing::ScriptRing(int fd) : writer_(fd) {
  // Room for a piece and then some, once: a buffer grown step by step is
  // copied and faulted in again at every step.
  for (Slot& slot : slots_) slot.text.Reserve(2 * kPiece);
}

ScriptRing::~ScriptRing() {
  if (helping_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ = true;  // no more pieces
    }
    changed_.notify_all();
    helper_->Wait();
  }
  // The slots go before the writer: it must be done with them first.
  writer_.Drain();
}

ScriptRing::Slot* ScriptRing::Claim(std::unique_lock<std::mutex>& lock, Piece* piece, bool wait) {
  const auto rows_left = [&] { return !piece || next_row_ < table_->RecordCount(); };
  while (!failed_ && rows_left() && claimed_ - submitted_ >= kSlots) {
    if (!wait) return nullptr;
    changed_.wait(lock);
  }
  if (failed_ || !rows_left()) return nullptr;
  // The slot's last use is at least kSlots claims back, so it was handed to
  // the writer: it is free once its ticket is written.
  Slot* slot = &slots_[claimed_++ % kSlots];
  slot->built = false;
  slot->rows = 0;
  if (piece) {
    const std::uint32_t count = table_->RecordCount();
    *piece = {slot, next_row_, next_row_ + std::min(piece_rows_, count - next_row_)};
    next_row_ = piece->end;
  }
  const std::uint64_t ticket = slot->ticket;
  lock.unlock();
  const bool written = writer_.WaitWritten(ticket);
  slot->text.Clear();
  lock.lock();
  if (!written) {
    failed_ = true;
    changed_.notify_all();
    return nullptr;
  }
  return slot;
}

void ScriptRing::Build(std::unique_lock<std::mutex>& lock, const Piece& piece) {
  lock.unlock();
  for (std::uint32_t n = piece.first; n < piece.end; ++n) table_->AppendInsert(piece.slot->text, n);
  lock.lock();
  const std::uint32_t rows = piece.end - piece.first;
  const std::size_t per_row = std::max<std::size_t>(1, piece.slot->text.size() / rows);
  piece_rows_ = static_cast<std::uint32_t>(std::clamp<std::size_t>(kPiece / per_row, 1, 1 << 16));
  piece.slot->rows = rows;
  piece.slot->built = true;
  changed_.notify_all();
}

std::uint32_t ScriptRing::SubmitBuilt(std::unique_lock<std::mutex>&) {
  std::uint32_t rows = 0;
  const std::uint64_t before = submitted_;
  while (!failed_ && submitted_ < claimed_) {
    Slot& slot = slots_[submitted_ % kSlots];
    if (!slot.built) break;
    if (slot.text.size() != 0) {
      slot.ticket = writer_.Submit(slot.text.data(), slot.text.size());
      if (slot.ticket == 0) {
        failed_ = true;
        break;
      }
    }
    rows += slot.rows;
    ++submitted_;
  }
  if (submitted_ != before || failed_) changed_.notify_all();
  return rows;
}

bool ScriptRing::Append(const char* text, std::size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!open_) open_ = Claim(lock, nullptr, false);
  if (!open_) {
    failed_ = true;
    return false;
  }
  open_->text.Append(text, length);
  if (open_->text.size() >= kPiece) SubmitOpen(lock);
  return !failed_;
}

void ScriptRing::SubmitOpen(std::unique_lock<std::mutex>& lock) {
  if (open_) {
    open_->built = true;
    open_ = nullptr;
  }
  SubmitBuilt(lock);
}

void ScriptRing::BeginRows(const DBCFile& table, HelperThread& helper) {
  std::unique_lock<std::mutex> lock(mutex_);
  SubmitOpen(lock);  // the table's statements go first
  table_ = &table;
  helper_ = &helper;
  next_row_ = 0;
  piece_rows_ = kFirstPiece;
  if (failed_ || table.RecordCount() <= 2 * kFirstPiece) return;
  // Without a helper thread this thread builds every piece.
  helping_ = helper.Start(helper_job_);
}

void ScriptRing::BuildPieces() {
  std::unique_lock<std::mutex> lock(mutex_);
  Piece piece;
  while (Claim(lock, &piece, true)) Build(lock, piece);
}

std::uint32_t ScriptRing::NextRows() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint32_t rows = 0;
  for (;;) {
    rows += SubmitBuilt(lock);
    if (failed_ || rows > 0) break;
    Piece piece;
    if (Claim(lock, &piece, false)) {
      Build(lock, piece);
      continue;
    }
    if (failed_ || submitted_ == claimed_) break;  // nothing left to build
    changed_.wait(lock);  // for the piece at the head, which the helper builds
  }
  const bool done = failed_ || (next_row_ == table_->RecordCount() && submitted_ == claimed_);
  if (done && helping_) {
    lock.unlock();
    helper_->Wait();
    helping_ = false;
  }
  return failed_ ? 0 : rows;
}

bool ScriptRing::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  SubmitOpen(lock);
  const bool failed = failed_;
  lock.unlock();
  return writer_.Drain() && !failed;
}
