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
      MutexLock lock(mutex_);
      failed_ = true;  // no more pieces
    }
    changed_.notify_all();
    helper_->Wait();
  }
  // The slots go before the writer: it must be done with them first.
  writer_.Drain();
}

ScriptRing::Slot* ScriptRing::Claim(Piece* piece, bool wait) {
  const auto rows_left = [&]() REQUIRES(mutex_) {
    return !piece || next_row_ < rows_->Table().RecordCount();
  };
  while (!failed_ && rows_left() && claimed_ - submitted_ >= kSlots) {
    if (!wait) return nullptr;
    mutex_.Await(changed_);
  }
  if (failed_ || !rows_left()) return nullptr;
  // The slot's last use is at least kSlots claims back, so it was handed to
  // the writer: it is free once its ticket is written.
  Slot* slot = &slots_[claimed_++ % kSlots];
  slot->built = false;
  slot->rows = 0;
  if (piece) {
    const std::uint32_t count = rows_->Table().RecordCount();
    *piece = {slot, next_row_, next_row_ + std::min(piece_rows_, count - next_row_)};
    next_row_ = piece->end;
  }
  const std::uint64_t ticket = slot->ticket;
  mutex_.Unlock();
  const bool written = writer_.WaitWritten(ticket);
  slot->text.Clear();
  mutex_.Lock();
  if (!written) {
    failed_ = true;
    changed_.notify_all();
    return nullptr;
  }
  return slot;
}

void ScriptRing::Build(const Piece& piece) {
  mutex_.Unlock();
  if (transaction_starts_.empty()) {
    for (std::uint32_t n = piece.first; n < piece.end; ++n)
      rows_->AppendInsert(piece.slot->text, n);
  } else {
    // The transaction the piece begins in, and where the next one starts.
    auto next =
        std::upper_bound(transaction_starts_.begin(), transaction_starts_.end(), piece.first);
    for (std::uint32_t n = piece.first; n < piece.end; ++n) {
      if (n == next[-1]) piece.slot->text.Append("START TRANSACTION;\n");
      rows_->AppendInsert(piece.slot->text, n);
      if (n + 1 == *next) {
        piece.slot->text.Append("COMMIT;\n");
        ++next;
      }
    }
  }
  mutex_.Lock();
  const std::uint32_t rows = piece.end - piece.first;
  const std::size_t per_row = std::max<std::size_t>(1, piece.slot->text.size() / rows);
  piece_rows_ = static_cast<std::uint32_t>(std::clamp<std::size_t>(kPiece / per_row, 1, 1 << 16));
  piece.slot->rows = rows;
  piece.slot->built = true;
  changed_.notify_all();
}

std::uint32_t ScriptRing::SubmitBuilt() {
  std::uint32_t rows = 0;
  const std::uint64_t before = submitted_;
  while (!failed_ && submitted_ < claimed_) {
    Slot& slot = slots_[submitted_ % kSlots];
    if (!slot.built) break;
    if (slot.text.size() != 0) {
      slot.ticket = writer_.Submit(slot.text.data(), slot.text.size());
      given_ += slot.text.size();
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

std::uint64_t ScriptRing::given() {
  MutexLock lock(mutex_);
  return given_ + (open_ ? open_->text.size() : 0);
}

bool ScriptRing::Append(const char* text, std::size_t length) {
  MutexLock lock(mutex_);
  if (!open_) open_ = Claim(nullptr, false);
  if (!open_) {
    failed_ = true;
    return false;
  }
  open_->text.Append(text, length);
  if (open_->text.size() >= kPiece) SubmitOpen();
  return !failed_;
}

void ScriptRing::SubmitOpen() {
  if (open_) {
    open_->built = true;
    open_ = nullptr;
  }
  SubmitBuilt();
}

void ScriptRing::BeginRows(const StatementBuilder& rows, HelperThread& helper) {
  MutexLock lock(mutex_);
  SubmitOpen();  // the table's statements go first
  rows_ = &rows;
  helper_ = &helper;
  next_row_ = 0;
  piece_rows_ = kFirstPiece;
  transaction_starts_.clear();
  if (rows.engine() == Engine::kInnoDB) rows.TransactionStarts(&transaction_starts_);
  if (failed_ || rows.Table().RecordCount() <= 2 * kFirstPiece) return;
  // Without a helper thread this thread builds every piece.
  helping_ = helper.Start(helper_job_);
}

void ScriptRing::BuildPieces() {
  MutexLock lock(mutex_);
  Piece piece;
  while (Claim(&piece, true)) Build(piece);
}

std::uint32_t ScriptRing::NextRows() {
  std::uint32_t rows = 0;
  bool failed = false, done = false;
  {
    MutexLock lock(mutex_);
    for (;;) {
      rows += SubmitBuilt();
      if (failed_ || rows > 0) break;
      Piece piece;
      if (Claim(&piece, false)) {
        Build(piece);
        continue;
      }
      if (failed_ || submitted_ == claimed_) break;  // nothing left to build
      mutex_.Await(changed_);  // for the piece at the head, which the helper builds
    }
    failed = failed_;
    done = failed_ || (next_row_ == rows_->Table().RecordCount() && submitted_ == claimed_);
  }
  if (done && helping_) {
    helper_->Wait();
    helping_ = false;
  }
  return failed ? 0 : rows;
}

bool ScriptRing::Finish() {
  bool failed = false;
  {
    MutexLock lock(mutex_);
    SubmitOpen();
    failed = failed_;
  }
  return writer_.Drain() && !failed;
}
