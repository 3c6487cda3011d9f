// The self-updating progress line shown on a terminal while a long statement runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace nvsql {

/// What a running statement has received so far; updated by the thread that reads it.
struct ProgressCounts {
  std::atomic<int64_t> rows{0};
  std::atomic<int64_t> batches{0};
  std::atomic<int64_t> bytes{0};
};

/// "12,345 rows, 3 batches, 4.2 MiB, 8,230 rows/s (1.5 s)".
std::string progress_text(int64_t rows, int64_t batches, int64_t bytes, double seconds);

class ProgressLine {
 public:
  /// Draws on `tty` (standard error) when `enabled` and `tty` is a terminal; does nothing
  /// otherwise.
  ProgressLine(std::FILE* tty, bool enabled);
  ~ProgressLine() { stop(); }
  /// Redraws the line once `seconds` passed the delay.
  void update(const ProgressCounts& counts, double seconds);
  /// Clears the line for good (before the result prints); later updates draw nothing.
  void stop();

  /// Seconds a statement runs before the line appears.
  static constexpr double kDelaySeconds = 1.0;

 private:
  std::mutex mu_;
  std::FILE* tty_;
  bool enabled_;
  bool shown_ = false;
  bool stopped_ = false;
};

}  // namespace nvsql
