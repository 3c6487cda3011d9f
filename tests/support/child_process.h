// Runs this executable again as a child, for tests and benchmarks that need a fresh process
// (the first connection of a process, its memory), and collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace nv_test {

/// Starts /proc/self/exe with `args` after its own name, waits for it, and returns its standard
/// output; `exit_status` (may be null) receives the exit status, or -1 when it did not start or
/// did not exit normally.
std::string run_self(const std::vector<std::string>& args, int* exit_status);

}  // namespace nv_test
