#include "wiki/request_source.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SourceCase {
  const char* name;
  std::string headerLines;
  RequestSource source;
};

void PrintTo(const SourceCase& sourceCase, std::ostream* out) {
  *out << sourceCase.name;
}

constexpr RequestSource kTrusted = RequestSource::kTrusted;
constexpr RequestSource kOtherSite = RequestSource::kOtherSite;

const SourceCase kCases[] = {
    {"CrossSite", "Sec-Fetch-Site: cross-site\r\n", kOtherSite},
    {"SameSite", "Sec-Fetch-Site: same-site\r\n", kOtherSite},
    {"SameOrigin", "Sec-Fetch-Site: same-origin\r\n", kTrusted},
    {"TypedUrl", "Sec-Fetch-Site: none\r\n", kTrusted},
    {"UnknownValue", "Sec-Fetch-Site: nonsense\r\n", kOtherSite},
    {"LowerCaseName", "sec-fetch-site:cross-site\n", kOtherSite},
    {"LongerNameIsAnotherHeader", "Sec-Fetch-Site-X: none\r\nSec-Fetch-Site: cross-site\r\n",
     kOtherSite},
    {"RefererOtherHost", "Host: 127.0.0.1:8088\r\nReferer: http://localhost:8088/x\r\n",
     kOtherSite},
    {"RefererOtherPort", "Host: 127.0.0.1:8088\r\nReferer: http://127.0.0.1:9000/\r\n", kOtherSite},
    {"RefererWithoutHost", "Referer: http://127.0.0.1:8088/\r\n", kOtherSite},
    {"RefererThisHost", "Host: 127.0.0.1:8088\r\nReferer: http://127.0.0.1:8088/edit/a\r\n",
     kTrusted},
    {"RefererThisHostHttpsNoPath", "referer: https://Wiki.local\r\nHOST: wiki.local\r\n", kTrusted},
    {"NoHeaders", "", kTrusted},
    {"LinesAfterTheEmptyLineAreNoHeaders", "Host: x\r\n\r\nSec-Fetch-Site: cross-site\r\n",
     kTrusted},
};

RequestSource sourceOf(std::string received) {
  ClientRequest request;
  request.target = parseRequestLine(received.data(), static_cast<int>(received.size()));
  locateHeaders(request, received.data(), static_cast<int>(received.size()));
  return judgeRequestSource(request);
}

class Source : public testing::TestWithParam<SourceCase> {};

TEST_P(Source, OnlyTheWikisOwnPagesOrUnmarkedClientsAreTrusted) {
  EXPECT_EQ(sourceOf("GET /save/a?data=x&eof=1 HTTP/1.1\r\n" + GetParam().headerLines + "\r\n"),
            GetParam().source);
}

INSTANTIATE_TEST_SUITE_P(Table, Source, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A forger can pad a URL until the browser's headers fall past the buffer.
TEST(SourceOfAFullBuffer, IsUntoldUnlessTheHeadersEndedInIt) {
  std::string padded = "GET /byebye?pad=";
  padded.resize(kRequestBufferSize, 'p');
  EXPECT_EQ(sourceOf(padded), RequestSource::kUntold);

  std::string whole = "GET /byebye HTTP/1.1\r\nX: ";
  whole.resize(kRequestBufferSize - 4, 'p');
  EXPECT_EQ(sourceOf(whole + "\r\n\r\n"), kTrusted);
}

}  // namespace
