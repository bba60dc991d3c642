#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_directory.h"

// Each black-box test binary is built for one server binary and launcher;
// QUILLET_SERVER and QUILLET_LAUNCHER override them.
#ifndef QUILLET_TEST_SERVER
#define QUILLET_TEST_SERVER "quillet"
#endif
#ifndef QUILLET_TEST_LAUNCHER
#define QUILLET_TEST_LAUNCHER ""
#endif
#ifndef QUILLET_TEST_WINEPREFIX
#define QUILLET_TEST_WINEPREFIX ""
#endif
#ifndef QUILLET_TEST_FILE_HOLDER
#define QUILLET_TEST_FILE_HOLDER ""
#endif

namespace {

using namespace std::chrono_literals;

const char* environmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string launcherName() {
  return environmentOr("QUILLET_LAUNCHER", QUILLET_TEST_LAUNCHER);
}

// Wine, quiet and in the test build's own prefix, with no display to open.
// Wine starts its own helper programs with WINELOADER; it must be the 64-bit
// loader that runs the server, as Debian's /usr/bin/wine sets it for that one.
void prepareLauncherEnvironment() {
  if (underWine()) {
    ::setenv("WINELOADER", launcherName().c_str(), 1);
  }
  ::setenv("WINEDEBUG", "-all", 0);
  if (*QUILLET_TEST_WINEPREFIX != '\0') {
    ::setenv("WINEPREFIX", QUILLET_TEST_WINEPREFIX, 0);
  }
  ::unsetenv("DISPLAY");
}

// Wine needs far longer to start, above all the first time (prefix creation);
// qemu translates every instruction.
std::chrono::milliseconds startLimit() {
  return underLauncher() ? 90s : 10s;
}
std::chrono::milliseconds stopLimit() {
  return underLauncher() ? 15s : 5s;
}
std::chrono::milliseconds replyLimit() {
  return underLauncher() ? 30s : 10s;
}

}  // namespace

bool underLauncher() {
  return !launcherName().empty();
}

bool underWine() {
  return std::filesystem::path(launcherName()).filename().string().rfind("wine", 0) == 0;
}

bool underQemu() {
  return std::filesystem::path(launcherName()).filename().string().rfind("qemu-", 0) == 0;
}

bool fileHolderBuilt() {
  return underWine() && std::filesystem::exists(QUILLET_TEST_FILE_HOLDER);
}

pid_t startHoldingFile(const std::filesystem::path& file, std::chrono::milliseconds length) {
  int output[2];
  if (!fileHolderBuilt() || ::pipe(output) != 0) {
    return -1;
  }
  const std::string launcher = launcherName();
  const std::string milliseconds = std::to_string(length.count());
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::close_range(3, ~0U, 0);
    // Wine takes a path relative to the working directory as Windows does.
    if (::chdir(file.parent_path().c_str()) != 0) {
      ::_exit(127);
    }
    prepareLauncherEnvironment();
    ::execlp(launcher.c_str(), launcher.c_str(), QUILLET_TEST_FILE_HOLDER, file.filename().c_str(),
             milliseconds.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(output[1]);
  std::string said;
  char byte;
  while (said.find('\n') == std::string::npos && ::read(output[0], &byte, 1) == 1) {
    said.push_back(byte);
  }
  ::close(output[0]);
  if (holder > 0 && said.rfind("held", 0) != 0) {
    finishHolding(holder);
    return -1;
  }
  return holder;
}

bool finishHolding(pid_t holder) {
  int status = 0;
  return holder > 0 && ::waitpid(holder, &status, 0) == holder && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

bool portIsListening() {
  // Read the kernel's table rather than connect: a probe connection would be
  // a request of its own to the server.
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      char port[8];
      std::snprintf(port, sizeof port, ":%04X", kTestPort);
      if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == port) {
        return true;
      }
    }
  }
  return false;
}

bool ServerProcess::start() {
  stop();
  directory_ = makeTemporaryDirectory();
  ownsDirectory_ = true;
  return directory_.empty() ? false : launch();
}

bool ServerProcess::startIn(const std::filesystem::path& directory) {
  stop();
  directory_ = directory;
  ownsDirectory_ = false;
  return launch();
}

void ServerProcess::killAtOnce() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap(0);
  }
}

bool ServerProcess::launch() {
  const std::string binary =
      std::filesystem::absolute(environmentOr("QUILLET_SERVER", QUILLET_TEST_SERVER)).string();
  const std::string launcher = launcherName();
  const std::string errorPath = (directory_ / "stderr.txt").string();
  exitCode_ = -1;

  pid_ = ::fork();
  if (pid_ == 0) {
    if (::chdir(directory_.c_str()) != 0) {
      ::_exit(127);
    }
    const int errorFile = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(errorFile, STDERR_FILENO);
    const int nothing = ::open("/dev/null", O_RDWR);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(nothing, STDOUT_FILENO);
    ::close_range(3, ~0U, 0);  // the server starts with none of the test's descriptors
    if (!launcher.empty()) {
      prepareLauncherEnvironment();
      ::execlp(launcher.c_str(), launcher.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    } else {
      ::execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  if (pid_ < 0) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + startLimit();
  while (std::chrono::steady_clock::now() < deadline) {
    if (reap(WNOHANG)) {
      return true;  // ended at start; the caller looks at the exit code
    }
    if (portIsListening()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

bool ServerProcess::reap(int options) {
  if (pid_ <= 0) {
    return exitCode_ != -1;
  }
  int status = 0;
  if (::waitpid(pid_, &status, options) != pid_) {
    return false;
  }
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return true;
}

bool ServerProcess::running() {
  return pid_ > 0 && !reap(WNOHANG);
}

int ServerProcess::waitForExit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!reap(WNOHANG)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return exitCode_;
}

void ServerProcess::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (waitForExit(stopLimit()) == -1 && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap(0);
    }
  }
  if (!directory_.empty() && ownsDirectory_) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  directory_.clear();
}

std::string ServerProcess::standardError() const {
  std::ifstream in(directory_ / "stderr.txt", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t openDescriptorCount(pid_t pid) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

namespace {

// The inode of the socket that listens on the test port, from the table of
// the server's own network namespace; empty when none listens.
std::string listenerInode(pid_t pid) {
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
  char port[8];
  std::snprintf(port, sizeof port, ":%04X", kTestPort);
  constexpr char kListenState[] = "0A";
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, port) == 0 &&
        state == kListenState) {
      return inode;
    }
  }
  return "";
}

}  // namespace

size_t lastingDescriptorCount(pid_t pid) {
  const std::string listener = "socket:[" + listenerInode(pid) + "]";
  size_t count = 0;
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (target.rfind("socket:[", 0) != 0 || target == listener) {
      ++count;
    }
  }
  return count;
}

std::string openDescriptorList(pid_t pid) {
  std::string list;
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    list += entry.path().filename().string() + " -> " +
            std::filesystem::read_symlink(entry.path(), ignored).string() + "\n";
  }
  return list;
}

bool descriptorCountSettlesAt(pid_t pid, size_t expected) {
  for (int wait = 0; wait < 100; ++wait) {
    if (openDescriptorCount(pid) == expected) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return openDescriptorCount(pid) == expected;
}

long statusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) {
      return std::atol(line.c_str() + field.size());
    }
  }
  return -1;
}

int connectToServer(int receiveBufferBytes) {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBufferBytes > 0) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTestPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(socket);
    return -1;
  }
  return socket;
}

// A reset instead of a FIN: the server's side of the connection then leaves
// no TIME_WAIT behind, which matters where the server cannot reuse the port.
void closeAbortively(int socket) {
  const linger abortive{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(socket);
}

std::string readUntilClosed(int socket, std::chrono::milliseconds limit) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::vector<char> chunk(65536);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{socket, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    const ssize_t count = ::recv(socket, chunk.data(), chunk.size(), 0);
    if (count <= 0) {
      break;
    }
    received.append(chunk.data(), static_cast<size_t>(count));
  }
  return received;
}

namespace {

void sendEverything(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      return;
    }
    sent += static_cast<size_t>(count);
  }
}

}  // namespace

Reply exchange(const Exchange& exchange) {
  Reply reply;
  const int socket = connectToServer();
  if (socket < 0) {
    return reply;
  }
  reply.connected = true;
  sendEverything(socket, exchange.request);
  if (!exchange.secondPart.empty()) {
    std::this_thread::sleep_for(exchange.pauseBeforeSecondPart);
    sendEverything(socket, exchange.secondPart);
  }
  if (exchange.halfCloseAfterSending) {
    ::shutdown(socket, SHUT_WR);
  }
  reply.bytes = readUntilClosed(socket, replyLimit());
  // An ordinary close leaves the server's side in TIME_WAIT, as a browser
  // does, so a restart must reuse the port. The Windows build rightly takes
  // its port exclusively and cannot, so clients close abortively under Wine.
  if (underLauncher()) {
    closeAbortively(socket);
  } else {
    ::close(socket);
  }
  return reply;
}

Reply exchange(const std::string& request) {
  return exchange(plainExchange(request));
}

Exchange plainExchange(std::string request) {
  Exchange result;
  result.request = std::move(request);
  return result;
}

Exchange halfClosedExchange(std::string request) {
  Exchange result = plainExchange(std::move(request));
  result.halfCloseAfterSending = true;
  return result;
}

Exchange pausedExchange(std::string first, std::chrono::milliseconds pause, std::string second) {
  Exchange result = plainExchange(std::move(first));
  result.pauseBeforeSecondPart = pause;
  result.secondPart = std::move(second);
  return result;
}

std::string requestWithLine(const std::string& requestLine, const std::string& extraHeaders,
                            HostLine host) {
  std::string request = requestLine + (host == HostLine::kSent ? kHostLine : "") + extraHeaders;
  const std::string padding = "X-Padding: ";
  const size_t used = request.size() + padding.size() + 4;
  request += padding + std::string(used < 100 ? 100 - used : 1, 'p') + "\r\n\r\n";
  return request;
}

std::string getRequest(const std::string& target, const std::string& extraHeaders) {
  return requestWithLine("GET " + target + " HTTP/1.1\r\n", extraHeaders);
}

std::string paddedRequest(const std::string& firstLine, size_t size, HostLine host) {
  std::string request = firstLine + (host == HostLine::kSent ? kHostLine : "");
  request.resize(size, 'x');
  return request;
}

std::string fullBufferRequest(const std::string& target) {
  constexpr size_t kServerBufferSize = 655360;
  std::string request = "GET " + target + " HTTP/1.1\r\n" + kHostLine + "X-Padding: ";
  request.resize(kServerBufferSize - 4, 'p');
  return request + "\r\n\r\n";
}

std::string fetch(const std::string& target) {
  return exchange(getRequest(target)).bytes;
}
