// A growable byte buffer for statement text. Statements are formatted into
// one long-lived buffer that only grows, so that building a row costs no
// allocation once the largest statement has been seen. Every write reserves
// its room first; nothing is ever written past the end.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

class TextBuffer {
 public:
  void Clear() { size_ = 0; }

  // Returns room for at least `n` more bytes after the current end.
  char* Reserve(std::size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  // Takes `n` bytes written into the room returned by Reserve().
  void Commit(std::size_t n) { size_ += n; }

  void Append(const char* text, std::size_t n) {
    std::memcpy(Reserve(n), text, n);
    size_ += n;
  }
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  void Append(char c) {
    *Reserve(1) = c;
    ++size_;
  }

  // NUL-terminates the text (without counting the NUL) and returns it.
  const char* CStr() {
    *Reserve(1) = '\0';
    return data_.get();
  }
  char* data() { return data_.get(); }
  // The current end of the text: where the next byte goes.
  char* end() { return data_.get() + size_; }
  std::size_t size() const { return size_; }

 private:
  void Grow(std::size_t n) {
    std::size_t capacity = capacity_ ? capacity_ : 4096;
    while (capacity - size_ < n) capacity *= 2;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};
