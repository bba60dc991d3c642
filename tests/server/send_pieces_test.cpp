// sendAll and sendHtmlPage against a stand-in for the platform's sends, so
// that a count above what one send can take is checked without sending it,
// and a connection that takes a response in chosen pieces can be played.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/response.h"
#include "support/expected_pages.h"

namespace {

// Where each send began, as an offset into the reply, and how long it was;
// kept instead of the bytes while the reply is address space alone.
std::vector<std::pair<std::int64_t, int>> sends;
const char* replyStart = nullptr;

// What each gathered send takes, in order (below 0: it fails); once they are
// used up, a send takes all it is given.
std::vector<int> takes;
std::size_t gatheredSends = 0;
std::string received;

}  // namespace

namespace platform {

int sendRuns(SocketHandle, const ByteRun* runs, int count) {
  const int take = gatheredSends < takes.size() ? takes[gatheredSends] : INT32_MAX;
  ++gatheredSends;
  if (take < 0) {
    return take;
  }
  auto room = static_cast<std::size_t>(take);
  int taken = 0;
  for (int i = 0; i < count && room > 0; ++i) {
    const std::size_t part = std::min(runs[i].length, room);
    if (replyStart != nullptr) {
      sends.emplace_back(runs[i].bytes - replyStart, static_cast<int>(part));
    } else {
      received.append(runs[i].bytes, part);
    }
    room -= part;
    taken += static_cast<int>(part);
  }
  return taken;
}

}  // namespace platform

namespace {

TEST(SendAll, CountAboveIntMaxGoesOutInPiecesThatAddUpToIt) {
  constexpr std::int64_t kCount = 2147483647LL + 1000;
  // Address space for the reply, never touched: the stand-in reads no byte.
  void* reserved =
      ::mmap(nullptr, kCount, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(reserved, MAP_FAILED);
  replyStart = static_cast<const char*>(reserved);
  ClientRequest request;
  request.socket = 3;
  sendAll(request, replyStart, kCount);
  EXPECT_EQ(sends,
            (std::vector<std::pair<std::int64_t, int>>{{0, 2147483647}, {2147483647, 1000}}));
  EXPECT_TRUE(isOpen(request));
  ::munmap(reserved, kCount);
  replyStart = nullptr;
}

const std::string kTwoByteResponse = framedPage("ab");

struct PiecesCase {
  const char* name;
  std::vector<int> takes;
  std::string expected;
  std::size_t sends;
  bool open;
};

// The response's parts end at bytes 14, 23, 27, 144, 146 and 160.
const PiecesCase kPiecesCases[] = {
    {"TakenAtOnceIsOneSend", {}, kTwoByteResponse, 1, true},
    {"PiecesEndingOnAndAcrossPartsArriveInOrder", {14, 9, 3, 118, 1}, kTwoByteResponse, 6, true},
    {"FailureAfterAPieceKeepsThatPieceAlone", {30, -1}, kTwoByteResponse.substr(0, 30), 2, false},
};

void PrintTo(const PiecesCase& testCase, std::ostream* out) {
  *out << testCase.name;
}

class HtmlPagePieces : public testing::TestWithParam<PiecesCase> {};

TEST_P(HtmlPagePieces, ConnectionReceivesEveryByteOnce) {
  takes = GetParam().takes;
  gatheredSends = 0;
  received.clear();
  ClientRequest request;
  request.socket = 3;
  sendHtmlPage(request, "ab");
  EXPECT_EQ(received, GetParam().expected);
  EXPECT_EQ(gatheredSends, GetParam().sends);
  EXPECT_EQ(isOpen(request), GetParam().open);
}

INSTANTIATE_TEST_SUITE_P(Table, HtmlPagePieces, testing::ValuesIn(kPiecesCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
