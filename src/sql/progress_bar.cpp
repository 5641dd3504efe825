#include "sql/progress_bar.h"

#include <cstdio>
#include <cstring>

#include "port/console.h"

ProgressBar::ProgressBar(std::int64_t total, bool draw) : total_(total), draw_(draw) {
  if (!draw_) return;
  char line[kWidth + 8];
  line[0] = '[';
  std::memset(line + 1, ' ', kWidth);
  std::memcpy(line + 1 + kWidth, "] 0%\r", 6);
  std::fputs(line, ConsoleOut());
}

ProgressBar::~ProgressBar() {
  if (draw_) std::fputs("\n", ConsoleOut());
}

void ProgressBar::Step() {
  if (total_ == 0 || !draw_) return;
  ++done_;
  const std::int64_t filled = done_ * kWidth / total_;
  if (filled == drawn_) return;
  char line[2 + kWidth + 16];
  char* p = line;
  *p++ = '\r';
  *p++ = '[';
  for (int i = 0; i < kWidth; ++i) *p++ = i < filled ? '*' : ' ';
  std::snprintf(p, sizeof line - static_cast<std::size_t>(p - line), "] %i%%  \r",
                static_cast<int>(filled * 100 / kWidth));
  std::fputs(line, ConsoleOut());
  drawn_ = filled;
}
