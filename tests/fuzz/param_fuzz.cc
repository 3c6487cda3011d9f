// Parameter substitution: SQL text and bound values from the input. Whatever the values hold,
// the substituted text has exactly the lexer's statements and strings of the original around
// each literal: no value may open or close a string, comment or statement.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cells/sql_lexer.h"
#include "fuzz_input.h"
#include "norvale/nv_cells.h"

namespace {

using norvale::cells::lex_sql;
using norvale::cells::SqlToken;
using norvale::cells::SqlTokenKind;

constexpr int16_t kCTypes[] = {1, -8, -2, -7, -26, -28, -15, 5, -17, -16, 4, -18, -25, -27,
                               8, 7, 2, 9, 91, 10, 92, 11, 93, 99, 42};

// The kinds of the tokens that are not ordinary text, in order.
std::vector<SqlTokenKind> structure(std::string_view sql, bool* complete) {
  std::vector<SqlTokenKind> kinds;
  *complete = lex_sql(sql, [&](const SqlToken& t) {
    if (t.kind != SqlTokenKind::kOther) kinds.push_back(t.kind);
  });
  return kinds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  const std::string sql(in.piece(4096));
  const int count = nv_param_count_placeholders(sql.data(), sql.size());
  const size_t n = in.byte() % 8;
  std::vector<std::string> buffers(n);
  std::vector<int64_t> indicators(n);
  std::vector<NVParamBinding> params(n);
  bool text_only = true;
  for (size_t i = 0; i < n; ++i) {
    NVParamBinding& p = params[i];
    const uint8_t shape = in.byte();
    p.parameter_number = static_cast<uint16_t>(shape & 0x40 ? in.byte() % 9 : i + 1);
    p.input_output_type = shape & 0x20 ? 2 : 1;
    p.c_type = kCTypes[in.byte() % (sizeof(kCTypes) / sizeof(kCTypes[0]))];
    p.sql_type = static_cast<int16_t>(static_cast<int8_t>(in.byte()));
    text_only = text_only && p.c_type == 1;
    buffers[i] = std::string(in.piece(256));
    buffers[i].resize(std::max<size_t>(buffers[i].size(), 32));  // room for any fixed layout
    p.value = shape & 0x10 ? nullptr : buffers[i].data();
    p.buffer_length = static_cast<int64_t>(buffers[i].size());
    const uint8_t ind = in.byte();
    indicators[i] = ind < 200 ? ind % 33 : -static_cast<int64_t>(ind - 199);
    if (indicators[i] > p.buffer_length) indicators[i] = p.buffer_length;
    p.indicator = shape & 0x08 ? nullptr : &indicators[i];
    // A text bound as SQL NULL becomes the word NULL, not a string.
    if (p.indicator != nullptr && indicators[i] == -1) text_only = false;
  }
  char* out = nullptr;
  char state[6];
  char err[256];
  if (nv_param_substitute(sql.data(), sql.size(), params.data(), params.size(), &out, state, err,
                          sizeof(err)) == 0) {
    const std::string result(out);
    std::free(out);
    if (count == 0 && result != std::string(sql.c_str())) std::abort();
    // The result is read up to its terminating NUL: only texts without NUL compare whole.
    if (text_only && count > 0 && sql.find('\0') == std::string::npos) {
      // Every placeholder became one string token: the original's structure, with the
      // placeholders turned into strings, is the result's.
      bool complete_in = false, complete_out = false;
      std::vector<SqlTokenKind> want = structure(sql, &complete_in);
      for (auto& k : want) {
        if (k == SqlTokenKind::kPlaceholder) k = SqlTokenKind::kString;
      }
      if (structure(result, &complete_out) != want || complete_in != complete_out) std::abort();
    }
  }
  return 0;
}
