#include "sql/syntax_tree_internal.h"

namespace nv_sql {

bool is_agg_name(const std::string& lowered) {
  for (const char* n : kAggNames) {
    if (lowered == n) return true;
  }
  return false;
}

std::string ascii_lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace nv_sql
