// sendAll against a stand-in for the platform's send, so that a count above
// what one send can take is checked without sending it.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "server/http_server.h"

namespace {

// Where each send began, as an offset into the reply, and how long it was.
std::vector<std::pair<std::int64_t, int>> sends;
const char* replyStart = nullptr;

}  // namespace

namespace platform {

int sendBytes(SocketHandle, const char* bytes, int length) {
  sends.emplace_back(bytes - replyStart, length);
  return length;
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
}

}  // namespace
