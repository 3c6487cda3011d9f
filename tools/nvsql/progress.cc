#include "tools/nvsql/progress.h"

#include <unistd.h>

namespace nvsql {
namespace {

// 1234567 as "1,234,567".
std::string grouped(int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return n < 0 ? "-" + out : out;
}

std::string byte_text(int64_t bytes) {
  static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace

std::string progress_text(int64_t rows, int64_t batches, int64_t bytes, double seconds) {
  const int64_t rate = seconds > 0 ? static_cast<int64_t>(static_cast<double>(rows) / seconds) : 0;
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  return grouped(rows) + " rows, " + grouped(batches) + " batches, " + byte_text(bytes) + ", " +
         grouped(rate) + " rows/s (" + time + ")";
}

ProgressLine::ProgressLine(std::FILE* tty, bool enabled)
    : tty_(tty), enabled_(enabled && tty != nullptr && isatty(fileno(tty)) != 0) {}

void ProgressLine::update(const ProgressCounts& counts, double seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!enabled_ || stopped_ || seconds < kDelaySeconds) return;
  const std::string text = progress_text(counts.rows.load(), counts.batches.load(),
                                         counts.bytes.load(), seconds);
  std::fprintf(tty_, "\r%s\x1b[K", text.c_str());  // overwrite, then erase what is left
  std::fflush(tty_);
  shown_ = true;
}

void ProgressLine::stop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (shown_ && !stopped_) {
    std::fputs("\r\x1b[K", tty_);
    std::fflush(tty_);
  }
  stopped_ = true;
}

}  // namespace nvsql
