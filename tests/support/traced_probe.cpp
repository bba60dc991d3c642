#include "support/traced_probe.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool straceInstalled() {
  return std::system("command -v strace >/dev/null 2>&1") == 0;
}

TracedRun runTracedProbe(const std::string& options, const std::string& arguments) {
  return runTracedProbe(options, arguments, QUILLET_IO_PROBE);
}

TracedRun runTracedProbe(const std::string& options, const std::string& arguments,
                         const std::string& probe) {
  // LeakSanitizer cannot run under ptrace, so the sanitizer build's probe
  // leaves leaks to the other tests.
  const std::string command = std::string("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" ") +
                              "strace -f -qq " + options + " " + probe + " " + arguments +
                              " >probe.out 2>strace.err";
  TracedRun run;
  run.status = std::system(command.c_str());
  run.output = readFile("probe.out");
  run.errors = readFile("strace.err");
  return run;
}

std::string onlyCallsOn(std::initializer_list<std::string> paths) {
  // A path given in a call is matched as written; a descriptor's path, as
  // the kernel names it, in full.
  std::string options;
  for (const std::string& path : paths) {
    options += " -P " + path + " -P " + (std::filesystem::current_path() / path).string();
  }
  return options;
}
