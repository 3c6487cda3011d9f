// Runs this executable again as a child, for tests and benchmarks that need a fresh process
// (the first connection of a process, its memory), and collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace nv_test {

/// What the child gets beyond its arguments: text on its standard input (closed after it) and
/// variables ("NAME=value") set before this process's own environment.
struct ChildInput {
  std::string stdin_text;
  std::vector<std::string> env;
};

/// Starts /proc/self/exe with `args` after its own name, waits for it, and returns its standard
/// output; `exit_status` (may be null) receives the exit status, or -1 when it did not start or
/// did not exit normally.
std::string run_self(const std::vector<std::string>& args, int* exit_status,
                     const ChildInput& input = {});

}  // namespace nv_test
