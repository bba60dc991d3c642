// Runs the I/O probe under strace in the working directory: to watch its
// system calls, or to make chosen ones fail (strace -e inject=...).
#pragma once

#include <string>

struct TracedRun {
  int status = -1;     // what std::system gave
  std::string output;  // what the probe printed
  std::string errors;  // what strace printed
};

bool straceInstalled();

// `options` go to strace before the probe, `arguments` to the probe.
TracedRun runTracedProbe(const std::string& options, const std::string& arguments);
// The same with a copy of the probe at `probe`.
TracedRun runTracedProbe(const std::string& options, const std::string& arguments,
                         const std::string& probe);

// strace options that count only the calls on these paths (relative to the
// working directory), by name or by descriptor.
std::string onlyCallsOn(std::initializer_list<std::string> paths);
