// The SQL trace's caller label for the length of a scope.
#pragma once

#include "norvale/nv_log.h"

namespace norvale {

/// Pushes `name` on the calling thread's SQL trace caller stack and pops it on every exit, so
/// that the statements sent meanwhile are traced under that caller.
class SqlCallerScope {
 public:
  explicit SqlCallerScope(const char* name) { nv_sql_caller_push(name); }
  ~SqlCallerScope() { nv_sql_caller_pop(); }
  SqlCallerScope(const SqlCallerScope&) = delete;
  SqlCallerScope& operator=(const SqlCallerScope&) = delete;
};

}  // namespace norvale
