// Times what the server adds beyond the 200 ms silence window, end to end on
// loopback, and reads its peak resident memory. Usage: loopback_probe [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSilenceWindowMs = 200.0;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Time from the request's last byte to the server's close.
double timeExchange(const std::string& request, size_t& replySize) {
  const int socket = connectToServer();
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t count = ::write(socket, request.data() + sent, request.size() - sent);
    if (count <= 0) {
      break;
    }
    sent += static_cast<size_t>(count);
  }
  const Clock::time_point start = Clock::now();
  // A buffer ready beforehand and blocking reads: the probe's own cost stays
  // out of the figure as far as it can.
  static std::vector<char> reply(4 << 20);
  replySize = 0;
  ssize_t count;
  while ((count = ::read(socket, reply.data() + replySize, reply.size() - replySize)) > 0) {
    replySize += static_cast<size_t>(count);
  }
  const double elapsed = millisecondsSince(start);
  closeAbortively(socket);
  return elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double timeFlush(const std::filesystem::path& directory, size_t size) {
  const std::string path = (directory / "flush-probe").string();
  const std::string bytes(size, 'f');
  const Clock::time_point start = Clock::now();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::perror("write");
  }
  ::fsync(fd);
  ::close(fd);
  // A save also syncs the page directory after its renames.
  const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  ::fsync(directoryFd);
  ::close(directoryFd);
  const double elapsed = millisecondsSince(start);
  ::unlink(path.c_str());
  return elapsed;
}

void report(const char* what, const std::vector<double>& times, double window, size_t bytes) {
  std::printf("%-44s median %8.3f ms  best %8.3f ms beyond the window  (%zu reply bytes)\n", what,
              median(times) - window, *std::min_element(times.begin(), times.end()) - window,
              bytes);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  ServerProcess server;
  if (!server.start() || !server.running()) {
    std::fprintf(stderr, "the server did not start (is port 8088 free?)\n");
    return 1;
  }
  constexpr size_t kPageSize = 640 * 1024;
  constexpr size_t kFormSize = 600 * 1024;
  std::ofstream(server.pagePath("big.txt"), std::ios::binary) << std::string(kPageSize, 'v');
  const std::string saveTarget = "/save/saved?data=" + std::string(kFormSize, 's') + "&eof=1";

  std::vector<double> view, viewFull, save, saveFull, flush;
  size_t viewBytes = 0, saveBytes = 0;
  for (int round = 0; round < rounds; ++round) {
    view.push_back(timeExchange(getRequest("/wiki/big"), viewBytes));
    viewFull.push_back(timeExchange(fullBufferRequest("/wiki/big"), viewBytes));
    save.push_back(timeExchange(getRequest(saveTarget), saveBytes));
    saveFull.push_back(timeExchange(fullBufferRequest(saveTarget), saveBytes));
    flush.push_back(timeFlush(server.directory() / "pages", kFormSize));
  }
  std::printf("rounds: %d\n", rounds);
  report("view of a 640 KiB page", view, kSilenceWindowMs, viewBytes);
  report("view of a 640 KiB page, full-buffer request", viewFull, 0, viewBytes);
  report("save of a 600 KiB form (incl. disk flush)", save, kSilenceWindowMs, saveBytes);
  report("save of a 600 KiB form, full-buffer request", saveFull, 0, saveBytes);
  std::printf("%-44s median %8.3f ms\n", "disk flush of 600 KiB (file and directory)",
              median(flush));
  std::printf("peak resident memory of the server: %ld KiB (VmHWM)\n",
              statusKilobytes(server.pid(), "VmHWM:"));
  server.stop();
  return 0;
}
