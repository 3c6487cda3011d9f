// Pieces of the engine log shared with the SQL trace.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace norvale::diag {

/// `text` with passwords, tokens and other secrets replaced by "[REDACTED]". Every log and
/// trace line goes through it.
std::string redact(std::string_view text);

/// Opens a log or trace file for appending: created 0600, never through a symbolic link, and
/// refused when it is not a regular file owned by the user. -1 with errno set on failure.
int open_private_append(const char* path);

/// The calling thread's number as printed in log lines (hash of its id, cached per thread).
unsigned long log_thread_number();

/// Formats "YYYY-MM-DDTHH:MM:SS.mmmZ" for the current UTC time into `out` (at least 32 bytes);
/// returns the length, or -1 on failure.
int format_utc_timestamp(char* out, size_t size);

/// printf-style formatting into `stack` (of `size` bytes) or, when the text needs more, into an
/// exact heap buffer. `text` is null when formatting failed; `truncated` is set when the heap
/// buffer could not be had and `text` holds the first size - 1 bytes.
class FormattedText {
 public:
  FormattedText(char* stack, size_t size, const char* fmt, va_list args);
  ~FormattedText();
  FormattedText(const FormattedText&) = delete;
  FormattedText& operator=(const FormattedText&) = delete;

  const char* text() const { return text_; }
  size_t length() const { return length_; }
  bool truncated() const { return truncated_; }

 private:
  char* heap_ = nullptr;
  const char* text_ = nullptr;
  size_t length_ = 0;
  bool truncated_ = false;
};

}  // namespace norvale::diag
