// A 50-cell console progress bar for the rows of one table, redrawn in place
// with carriage returns, and ended with a line break when it goes out of
// scope.
#pragma once

#include <cstdint>

class ProgressBar {
 public:
  // Draws nothing at all unless `draw` (a quiet run).
  explicit ProgressBar(std::int64_t total, bool draw = true);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Counts one row; redraws when the number of filled cells changes.
  void Step();

 private:
  std::int64_t done_ = 0;
  std::int64_t drawn_ = 0;
  std::int64_t total_;
  bool draw_;
  static constexpr int kWidth = 50;
};
