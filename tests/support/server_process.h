// Starts the real server binary in a fresh directory and speaks to it over
// 127.0.0.1:8088, directly or through a launcher (Wine for the Windows build,
// qemu's user mode for the ARM builds).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

inline constexpr int kTestPort = 8088;

bool underLauncher();
// Wine runs the Windows build; qemu's user mode runs an ARM build of the Linux
// server.
bool underWine();
bool underQemu();

// Under Wine: a Windows program that opens `file` without sharing, as a sync
// client does for a moment after a file changes, and holds it that long. It
// returns once the file is held; -1 when that failed or no such program was
// built. finishHolding() waits for the program's end.
bool fileHolderBuilt();
pid_t startHoldingFile(const std::filesystem::path& file, std::chrono::milliseconds length);
bool finishHolding(pid_t holder);

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts in a new temporary directory and waits until the port listens, or
  // until the process has exited (see exitCode()).
  bool start();
  // The same in a directory of the caller's, which stop() leaves in place.
  bool startIn(const std::filesystem::path& directory);
  // SIGKILL: no orderly stop, as in a crash.
  void killAtOnce();
  // Ends the process if it still runs (SIGTERM, then SIGKILL), removes the directory.
  void stop();
  bool running();
  // Waits for the process to end by itself; -1 when it did not in time.
  int waitForExit(std::chrono::milliseconds limit);

  pid_t pid() const { return pid_; }
  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path pagePath(const std::string& file) const {
    return directory_ / "pages" / file;
  }
  std::string standardError() const;

 private:
  bool launch();
  bool reap(int options);

  pid_t pid_ = -1;
  int exitCode_ = -1;
  std::filesystem::path directory_;
  bool ownsDirectory_ = true;
};

// The Host line that browsers, curl and scripts all send. Every request built
// below carries it unless the caller leaves it out.
inline const std::string kHostLine = "Host: 127.0.0.1:8088\r\n";
enum class HostLine { kSent, kLeftOut };

// A request padded to exactly the server's buffer size: the server reads it
// whole without waiting for 200 ms of silence.
std::string fullBufferRequest(const std::string& target);

// The first line as given (with or without its line end), the Host line, then
// filler bytes that end no line, to exactly `size` bytes.
std::string paddedRequest(const std::string& firstLine, size_t size,
                          HostLine host = HostLine::kSent);

bool portIsListening();

// One connection: sends the bytes, reads until the server closes, then closes
// the ordinary way (abortively under a launcher).
struct Exchange {
  std::string request;
  bool halfCloseAfterSending = false;
  std::chrono::milliseconds pauseBeforeSecondPart{0};
  std::string secondPart;
};
Exchange plainExchange(std::string request);
Exchange halfClosedExchange(std::string request);
Exchange pausedExchange(std::string first, std::chrono::milliseconds pause, std::string second);
struct Reply {
  bool connected = false;
  std::string bytes;
};
Reply exchange(const Exchange& exchange);
Reply exchange(const std::string& request);

// A request line and headers (each line ending in CR LF) padded with a header
// to at least 100 bytes.
std::string getRequest(const std::string& target, const std::string& extraHeaders = "");
// The same with a request line of the caller's, which may lack its version.
std::string requestWithLine(const std::string& requestLine, const std::string& extraHeaders = "",
                            HostLine host = HostLine::kSent);

// The reply to a request for this target, without the status line check.
std::string fetch(const std::string& target);

// What /proc tells of a process: its open descriptors, and a "kB" line of
// its status such as "VmRSS:" (-1 when absent).
size_t openDescriptorCount(pid_t pid);
// All but the descriptors of connections: the server shuts a connection down
// before it closes it, so a client that has read to the end of its reply may
// still find its socket among the server's for a moment.
size_t lastingDescriptorCount(pid_t pid);
// One line per descriptor, "3 -> socket:[123]", for a failure to show.
std::string openDescriptorList(pid_t pid);
long statusKilobytes(pid_t pid, const std::string& field);
// A reply ends at the server's shutdown and its close may follow a moment
// later, so the count is given up to a second to come back.
bool descriptorCountSettlesAt(pid_t pid, size_t expected);

// A receive buffer of this many bytes when above 0, set before connecting.
int connectToServer(int receiveBufferBytes = 0);
void closeAbortively(int socket);
std::string readUntilClosed(int socket, std::chrono::milliseconds limit);
