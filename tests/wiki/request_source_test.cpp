#include "wiki/request_source.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/posix/testing.h"

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
    {"FramedSameOrigin", "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Dest: iframe\r\n", kOtherSite},
    {"ImageOfTypedUrl", "Sec-Fetch-Site: none\r\nSec-Fetch-Dest: image\r\n", kOtherSite},
    {"WholePageSameOrigin", "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Dest: document\r\n",
     kTrusted},
    {"Prerender", "Sec-Fetch-Site: none\r\nSec-Purpose: prefetch;prerender\r\n", kOtherSite},
    {"OlderPrefetch",
     "Host: 127.0.0.1:8088\r\nPurpose: prefetch\r\nReferer: http://127.0.0.1:8088/\r\n",
     kOtherSite},
    {"FirefoxPrefetch", "X-Moz: Prefetch\r\n", kOtherSite},
    {"BrowserSayingNothing",
     "Host: wiki.lan:8088\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\nAccept: */*\r\n",
     kOtherSite},
    {"CurlSayingNothing", "Host: wiki.lan:8088\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n",
     kTrusted},
    {"HostLettersNearTheEndOfTheAlphabetInAnyCase",
     "Host: xyz.lan:8088\r\nReferer: http://XYZ.LAN:8088/edit/a\r\n", kTrusted},
    {"NameThatOnlyStartsLikeTheHeader",
     "Sec-Fetch-SiteX: cross-site\r\nSec-Fetch-Site: same-origin\r\n", kTrusted},
    {"TabBeforeTheValue", "Sec-Fetch-Site:\tsame-origin\r\n", kTrusted},
    {"SpacesAfterTheValue", "Sec-Fetch-Site: same-origin \t\r\n", kTrusted},
    {"RefererHostEndsAtQuery", "Host: 127.0.0.1:8088\r\nReferer: http://127.0.0.1:8088?x=1\r\n",
     kTrusted},
    {"RefererHostEndsAtFragment", "Host: 127.0.0.1:8088\r\nReferer: http://127.0.0.1:8088#x\r\n",
     kTrusted},
    {"RefererWithoutAHost", "Host: 127.0.0.1:8088\r\nReferer: about:blank\r\n", kOtherSite},
    {"RefererOfAnEmptyHost", "Host: \r\nReferer: http:///x\r\n", kOtherSite},
    {"BrowserOnLanNameWithItsOwnReferer",
     "Host: wiki.lan:8088\r\nUser-Agent: Mozilla/5.0\r\nReferer: http://wiki.lan:8088/edit/a\r\n",
     kTrusted},
};

ClientRequest parsed(std::string& received) {
  static char headerRoom[kRequestBufferSize];
  ClientRequest request;
  parseRequest(request, received.data(), static_cast<int>(received.size()), headerRoom);
  return request;
}

RequestSource sourceOf(std::string received) {
  return judgeRequestSource(parsed(received));
}

RequestHost hostOf(std::string received) {
  return judgeRequestHost(parsed(received));
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
  EXPECT_EQ(hostOf(padded), RequestHost::kUnseen);

  std::string whole = "GET /byebye HTTP/1.1\r\nX: ";
  whole.resize(kRequestBufferSize - 4, 'p');
  EXPECT_EQ(sourceOf(whole + "\r\n\r\n"), kTrusted);
  EXPECT_EQ(hostOf(whole + "\r\n\r\n"), RequestHost::kOwnName);
}

TEST(SourceOfABareLineFeedRequest, EndsTheHeadersAtTheFirstEmptyLine) {
  const std::string request =
      "GET /byebye HTTP/1.1\nHost: 127.0.0.1:8088\n\nSec-Fetch-Site: cross-site\n";
  EXPECT_EQ(sourceOf(request), kTrusted);
  EXPECT_EQ(sourceOf("GET /byebye HTTP/1.1\nSec-Fetch-Site: cross-site\n\n"), kOtherSite);
}

// A pause on a lossy network can end a request anywhere in its headers.
TEST(SourceOfACutRequest, IsNeverTrustedWhateverCameBeforeTheCut) {
  const std::string line = "GET /save/a?data=x&eof=1 HTTP/1.1\r\n";
  const std::tuple<std::string, RequestSource, RequestHost> cases[] = {
      {"Host: wiki.lan:8088\r\n", RequestSource::kUntold, RequestHost::kOwnName},
      {"Host: wiki.lan", RequestSource::kUntold, RequestHost::kUnseen},
      {"Host: wiki.lan:8088\r\nReferer: http://wiki.lan:8088", RequestSource::kUntold,
       RequestHost::kOwnName},
      {"Host: 127.0.0.1:8088\r\nSec-Fetch-Site: same-origin\r\nSec-Fe", RequestSource::kUntold,
       RequestHost::kOwnName},
      {"Host: 127.0.0.1:8088\r\nSec-Fetch-Site: none\r\n", RequestSource::kUntold,
       RequestHost::kOwnName},
      {"Host: 127.0.0.1:8088\r\nSec-Fetch-Site: cross-site\r\n", RequestSource::kUntold,
       RequestHost::kOwnName},
  };
  for (const auto& [headers, source, host] : cases) {
    EXPECT_EQ(sourceOf(line + headers), source) << headers;
    EXPECT_EQ(hostOf(line + headers), host) << headers;
  }
}

struct HostCase {
  const char* name;
  std::string host;
  bool own;
};

void PrintTo(const HostCase& hostCase, std::ostream* out) {
  *out << hostCase.name;
}

constexpr char kMachineName[] = "desk.corp.example";
const std::vector<std::string> kSearchDomains = {"fritz.box", "corp.example"};

const HostCase kHostCases[] = {
    {"Ipv4", "192.168.1.20", true},
    {"Loopback", "127.0.0.1", true},
    {"Ipv6", "[::1]", true},
    {"Ipv6Mapped", "[::ffff:192.168.1.20]", true},
    {"Localhost", "localhost", true},
    {"LocalhostAnyCaseTrailingDot", "LocalHost.", true},
    {"UnderLocalhost", "wiki.localhost", true},
    {"SingleLabel", "mypc", true},
    {"Local", "mypc.local", true},
    {"Lan", "Wiki.LAN", true},
    {"Home", "nas.home", true},
    {"HomeArpa", "nas.home.arpa", true},
    {"Internal", "wiki.internal", true},
    {"Localdomain", "mypc.localdomain.", true},
    {"MachineName", "DESK.corp.example", true},
    {"MachineNameTrailingDot", "desk.corp.example.", true},
    {"RebindingName", "rebind.test", false},
    {"AddressInsideAName", "127.0.0.1.nip.io", false},
    {"LocalhostAsSubdomain", "localhost.attacker.example", false},
    {"LanAsSubdomain", "wiki.lan.attacker.example", false},
    {"OtherNameInMachinesDomain", "other.corp.example", false},
    {"MachineNameUnderASearchDomain", "Desk.fritz.box.", true},
    {"OtherNameUnderASearchDomain", "other.fritz.box", false},
    {"MachineNameUnderAnotherDomain", "desk.example.net", false},
    {"WholeMachineNameUnderASearchDomain", "desk.corp.example.fritz.box", false},
    {"Ipv4PartTooLarge", "192.168.1.256", false},
    {"Ipv4ThreeParts", "192.168.1", false},
    {"Ipv4FiveParts", "1.2.3.4.5", false},
    {"Empty", "", false},
    {"TwoTrailingDots", "localhost..", false},
    {"BareSuffix", ".lan", false},
    {"NotAHostByte", "wiki lan", false},
    {"Ipv6Letters", "[::g]", false},
};

class Hosts : public testing::TestWithParam<HostCase> {};

TEST_P(Hosts, OnlyThisMachinesOwnNamesAreAnswered) {
  EXPECT_EQ(isOwnHostName(GetParam().host, kMachineName, kSearchDomains), GetParam().own);
}

INSTANTIATE_TEST_SUITE_P(Table, Hosts, testing::ValuesIn(kHostCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ResolverSettings, GiveTheDomainsOfTheSearchAndDomainLines) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"nameserver 192.168.178.1\nsearch fritz.box\n", {"fritz.box"}},
      {"domain corp.example.\r\nsearch\ta.example  b.example\n",
       {"corp.example", "a.example", "b.example"}},
      {"# search commented.example\nsearchx x.example\noptions ndots:1\nsearch . \n", {}},
      {"search last.example", {"last.example"}},
  };
  for (const auto& [settings, domains] : cases) {
    EXPECT_EQ(platform::searchDomainsIn(settings), domains) << settings;
  }
}

TEST(HostHeader, PortIsOptionalAndMustBeANumber) {
  const std::pair<std::string, RequestHost> cases[] = {
      {"", RequestHost::kOwnName},
      {"Host: localhost\r\n", RequestHost::kOwnName},
      {"host:\t[::1]:8088 \r\n", RequestHost::kOwnName},
      {"Host: wiki.lan:8088\r\n", RequestHost::kOwnName},
      {"Host: rebind.test:8088\r\n", RequestHost::kOtherName},
      {"Host: localhost:80x\r\n", RequestHost::kOtherName},
      {"Host: localhost:\r\n", RequestHost::kOtherName},
      {"Host: localhost:123456\r\n", RequestHost::kOtherName},
      {"Host: [::1\r\n", RequestHost::kOtherName},
      {"Host: [::1]x\r\n", RequestHost::kOtherName},
  };
  for (const auto& [headers, host] : cases) {
    EXPECT_EQ(hostOf("GET /wiki/a HTTP/1.1\r\n" + headers + "\r\n"), host) << headers;
  }
}

}  // namespace
