#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "blackbox/blackbox.h"

namespace {

using namespace std::chrono_literals;

const std::string kMissingMainBody = missingPage("main");

struct AnswerCase {
  const char* name;
  Exchange exchange;
  bool answered;
  std::string body = {};  // when given, the whole reply is this page
};

const std::string kLine = "GET /wiki/main HTTP/1.1\r\n";
const std::string kStopLink = "<a href='/byebye'>Click here to kill the server</a>.";
const std::string kSaveLine = "GET /save/home?data=x&eof=1 HTTP/1.1\r\n";
const std::string kBrowser = "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n";
const std::string kSameOrigin = "Sec-Fetch-Site: same-origin\r\n";
const std::string kFramed = "Sec-Fetch-Dest: iframe\r\n\r\n";

const AnswerCase kAnswerCases[] = {
    {"NinetyNineBytesUnanswered", plainExchange(paddedRequest(kLine, 99)), false},
    {"HundredBytesAnswered", plainExchange(paddedRequest(kLine, 100)), true},
    {"NothingSentUnanswered", plainExchange(""), false},
    {"LeadingAndExtraSpacesAnswered",
     plainExchange(paddedRequest("   GET    /wiki/main HTTP/1.1\r\n", 120)), true},
    {"LowerCaseMethodUnanswered", plainExchange(paddedRequest("get /wiki/main HTTP/1.1\r\n", 120)),
     false},
    {"OtherMethodUnanswered", plainExchange(paddedRequest("POST /wiki/main HTTP/1.1\r\n", 120)),
     false},
    // A Host line would be the target here.
    {"MethodFollowedOnlyBySpacesUnanswered",
     plainExchange(paddedRequest("GET " + std::string(120, ' '), 124, HostLine::kLeftOut)), false},
    {"AbsoluteFormAnswered",
     plainExchange(paddedRequest("GET http://127.0.0.1:8088/wiki/main HTTP/1.1\r\n", 120)), true},
    {"FirstPieceOfHundredBytesAnsweredAfterPause",
     pausedExchange(paddedRequest(kLine, 100), 400ms, "rest of the request"), true},
    {"FirstPieceUnderHundredBytesUnansweredAfterPause",
     pausedExchange(paddedRequest(kLine, 60), 400ms, std::string(100, 'x')), false},
    {"HalfCloseRightAfterSendingGetsNoReply", halfClosedExchange(paddedRequest(kLine, 120)), false},
    // Without a version the target runs on to the first space of the header
    // lines, here the one after "Host:".
    {"ViewWithoutVersion", plainExchange(requestWithLine("GET /wiki/main\r\n")), true,
     "Invalid page name"},
    {"EditWithoutVersion", plainExchange(requestWithLine("GET /edit/home?\r\n")), true,
     editForm("home", "")},
    {"StopLinkWithoutVersion", plainExchange(requestWithLine("GET /bye\r\n")), true, kStopLink},
    {"AbsoluteFormWithoutPath",
     plainExchange(requestWithLine("GET http://127.0.0.1:8088 HTTP/1.1\r\n")), true,
     kMissingMainBody},
    {"SaveRunningIntoItsHostLine",
     plainExchange(requestWithLine("GET /save/home?data=x&eof=1\r\n")), true,
     "<b>Page saved!</b> - " + navigationLine("home") + "x"},
    {"SameOriginSaveRunningIntoItsFetchSiteLine",
     plainExchange(requestWithLine("GET /save/home?data=x&eof=1\r\n",
                                   kSameOrigin + kBrowser + kHostLine, HostLine::kLeftOut)),
     true, "<b>Page saved!</b> - " + navigationLine("home") + "x"},
    // Cut by a pause after the line that would trust them.
    {"FramedSaveCutAfterItsFetchSiteLine",
     pausedExchange(kSaveLine + kHostLine + kBrowser + kSameOrigin, 400ms, kFramed), true,
     kTooLarge},
    {"FramedStopCutAfterItsFetchSiteLine",
     pausedExchange("GET /byebye HTTP/1.1\r\n" + kHostLine + kBrowser + kSameOrigin, 400ms,
                    kFramed),
     true,
     "This stop request came from another web site and was refused; the server keeps running. <a "
     "href='/'>Main</a>."},
};

void PrintTo(const AnswerCase& answerCase, std::ostream* out) {
  *out << answerCase.name;
}

class Answering : public BlackBox, public testing::WithParamInterface<AnswerCase> {};

TEST_P(Answering, AnswersOnlyWholeGetRequests) {
  const Reply reply = exchange(GetParam().exchange);
  ASSERT_TRUE(reply.connected);
  if (!GetParam().body.empty()) {
    EXPECT_EQ(reply.bytes, framedReply(GetParam().body));
  } else if (GetParam().answered) {
    EXPECT_EQ(reply.bytes.substr(0, kStatusLine.size()), kStatusLine);
  } else {
    EXPECT_EQ(reply.bytes, "");
  }
  EXPECT_TRUE(server.running());
}

INSTANTIATE_TEST_SUITE_P(Table, Answering, testing::ValuesIn(kAnswerCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BlackBox, FramedPageIsStatusHeaderAndFrameExactly) {
  const std::string reply = fetch("/");
  EXPECT_EQ(reply, framedReply(kMissingMainBody));
  EXPECT_EQ(reply.size(), 175 + kMissingMainBody.size());
}

TEST_F(BlackBox, RequestOverBufferSizeIsStillAnswered) {
  std::string request = paddedRequest(kLine, 700000);
  const Reply reply = exchange(request);
  EXPECT_EQ(reply.bytes.substr(0, kStatusLine.size()), kStatusLine);
  EXPECT_EQ(fetch("/").substr(0, kStatusLine.size()), kStatusLine);
}

TEST_F(BlackBox, ClientThatVanishesDoesNotStopTheServer) {
  for (int round = 0; round < 5; ++round) {
    const int socket = connectToServer();
    ASSERT_GE(socket, 0);
    const std::string request = getRequest("/wiki/main");
    ASSERT_EQ(::send(socket, request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    closeAbortively(socket);
  }
  EXPECT_EQ(fetch("/").substr(0, kStatusLine.size()), kStatusLine);
}

TEST_F(BlackBox, RejectedAndCutConnectionsLeaveNoDescriptorOpen) {
  SKIP_UNDER_WINE("the descriptor count is read from /proc, which shows Wine's own handles");
  std::this_thread::sleep_for(100ms);
  const size_t before = lastingDescriptorCount(server.pid());
  const Exchange kinds[] = {
      halfClosedExchange("short"),
      halfClosedExchange(paddedRequest("PUT / HTTP/1.1\r\n", 120)),
      halfClosedExchange(paddedRequest(kLine, 120)),
  };
  for (int round = 0; round < 100; ++round) {
    for (const Exchange& kind : kinds) {
      exchange(kind);
    }
    const int vanishing = connectToServer();
    closeAbortively(vanishing);
  }
  EXPECT_EQ(fetch("/").substr(0, kStatusLine.size()), kStatusLine);
  EXPECT_TRUE(descriptorCountSettlesAt(server.pid(), before));
}

TEST_F(BlackBox, TerminationSignalWhileIdleExitsWithZeroWithinAboutASecond) {
  SKIP_UNDER_WINE("Wine does not pass SIGTERM on to the program's signal handler");
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.waitForExit(3s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1500ms);
}

// Only SIGTERM has the orderly stop; Ctrl-C keeps its default action and ends
// the server at once, which a save survives (a page is replaced in one move).
TEST_F(BlackBox, InterruptSignalEndsTheServerByItsDefaultAction) {
  SKIP_UNDER_WINE("Wine does not pass SIGINT on as a POSIX signal");
  ASSERT_EQ(::kill(server.pid(), SIGINT), 0);
  EXPECT_EQ(server.waitForExit(3s), 128 + SIGINT);
}

constexpr size_t kLargePageBytes = 10'000'000;

// Asks for a large page through a small receive buffer and reads nothing, so
// the server's send stalls at once. The socket, once the reply has begun.
int startStalledView(ServerProcess& server) {
  std::ofstream(server.pagePath("big.txt"), std::ios::binary) << std::string(kLargePageBytes, 'b');
  constexpr int kSmallReceiveBuffer = 4096;
  constexpr int kReplyStartMilliseconds = 5000;
  const int socket = connectToServer(kSmallReceiveBuffer);
  if (socket < 0) {
    return -1;
  }
  const std::string request = getRequest("/wiki/big");
  pollfd entry{socket, POLLIN, 0};
  if (::send(socket, request.data(), request.size(), 0) < 0 ||
      ::poll(&entry, 1, kReplyStartMilliseconds) != 1) {
    ::close(socket);
    return -1;
  }
  return socket;
}

// Each of these waits out the server's 10 s send limit, so the quick run
// leaves them to the full one.
class SlowClient : public BlackBox {};

TEST_F(SlowClient, ThatReadsNothingOfALargePageDoesNotHoldTheServer) {
  const int stalled = startStalledView(server);
  ASSERT_GE(stalled, 0);
  const int next = connectToServer();
  const std::string request = getRequest("/");
  ASSERT_EQ(::send(next, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(readUntilClosed(next, 15s), framedReply(kMissingMainBody));
  closeAbortively(next);
  closeAbortively(stalled);
}

TEST_F(SlowClient, ThatReadsNothingDoesNotDelayTheTerminationSignalsExitLong) {
  SKIP_UNDER_WINE("Wine does not pass SIGTERM on to the program's signal handler");
  const int stalled = startStalledView(server);
  ASSERT_GE(stalled, 0);
  ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.waitForExit(15s), 0);
  closeAbortively(stalled);
}

// The signal interrupts the server's wait for room; the reply goes on.
TEST_F(BlackBox, TerminationSignalDuringAPausedReplyStillSendsItWhole) {
  SKIP_UNDER_WINE("Wine does not pass SIGTERM on to the program's signal handler");
  const int paused = startStalledView(server);
  ASSERT_GE(paused, 0);
  std::this_thread::sleep_for(300ms);  // the page is loaded and the server waits for room
  ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(readUntilClosed(paused, 10s) ==
              framedReply(navigationLine("big") + std::string(kLargePageBytes, 'b')));
  closeAbortively(paused);
  EXPECT_EQ(server.waitForExit(3s), 0);
}

TEST_F(BlackBox, RestartRightAfterAStopListensAgain) {
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(fetch("/").substr(0, kStatusLine.size()), kStatusLine);
  }
  fetch("/byebye");
  ASSERT_EQ(server.waitForExit(underLauncher() ? 10s : 3s), 0);
  ASSERT_TRUE(server.start());
  EXPECT_TRUE(server.running()) << "ended at start: " << server.standardError();
  EXPECT_EQ(fetch("/"), framedReply(kMissingMainBody));
}

TEST(StartUp, BusyPortEndsWithExitCode255) {
  ASSERT_FALSE(portIsListening());
  const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  const int reuse = 1;  // earlier tests leave connections in TIME_WAIT
  ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTestPort);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);

  ServerProcess server;
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.waitForExit(underLauncher() ? 30s : 5s), 255);
  if (!underWine()) {
    EXPECT_EQ(server.standardError(), "Error: Failed to start listening for connections\n");
  }
  ::close(blocker);
}

}  // namespace
