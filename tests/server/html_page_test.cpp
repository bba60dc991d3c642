#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/response.h"
#include "support/captured_response.h"
#include "support/expected_pages.h"

namespace {

using namespace std::string_literals;

struct FramingCase {
  const char* name;
  std::string body;
  std::string expected;
};

const FramingCase kFramingCases[] = {
    {"EmptyBody", "", framedPage("")},
    {"TwoBytes", "ab", framedPage("ab")},
    {"SpecialBytesUnchanged", "<&\"\r\n\x80\xff", framedPage("<&\"\r\n\x80\xff")},
    {"ZeroByteEndsTheResponse", "ab\0cd"s, kPageHeader + kFrameOpening + "ab"},
};

void PrintTo(const FramingCase& testCase, std::ostream* out) {
  *out << testCase.name;
}

class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, SendsHeaderAndFramedBodyExactly) {
  const std::string sent =
      captureResponse([](ClientRequest& request) { sendHtmlPage(request, GetParam().body); });
  EXPECT_EQ(sent, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Framing, testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Framing, LargeBodyArrivesWholeAndInOrder) {
  std::string body(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>('a' + i % 26);
  }
  const std::string sent =
      captureResponse([&body](ClientRequest& request) { sendHtmlPage(request, body); });
  EXPECT_TRUE(sent == framedPage(body));
}

TEST(SendAll, ClosedConnectionSendsNothing) {
  const std::string sent = captureResponse([](ClientRequest& request) {
    const platform::SocketHandle real = request.socket;
    request.socket = platform::kNoSocket;
    sendHtmlPage(request, "hidden");
    sendAll(request, "hidden", 6);
    EXPECT_FALSE(isOpen(request));
    request.socket = real;
  });
  EXPECT_EQ(sent, "");
}

TEST(SendAll, FailedSendMarksConnectionFailedAndLaterSendsAreSkipped) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  ::close(ends[1]);  // the peer is gone; without MSG_NOSIGNAL this would kill us
  ClientRequest request;
  request.socket = static_cast<platform::SocketHandle>(ends[0]);
  sendHtmlPage(request, "lost");
  EXPECT_FALSE(isOpen(request));
  sendHtmlPage(request, "skipped");
  EXPECT_FALSE(isOpen(request));
  ::close(ends[0]);
}

}  // namespace
