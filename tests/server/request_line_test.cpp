#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "server/request.h"

namespace {

struct RequestLineCase {
  const char* name;
  std::string received;
  std::optional<std::string> target;  // nullopt: refused
};

// Copies the bytes into a buffer with one spare byte, as the server has.
std::optional<std::string> parse(const std::string& received) {
  std::vector<char> buffer(received.begin(), received.end());
  buffer.push_back('#');  // the spare byte, not part of the request
  char* target = parseRequestLine(buffer.data(), static_cast<int>(received.size()));
  if (target == nullptr) {
    return std::nullopt;
  }
  EXPECT_GE(target, buffer.data());
  EXPECT_LE(target, buffer.data() + received.size());
  return std::string(target);
}

const RequestLineCase kCases[] = {
    {"Plain", "GET /wiki/home HTTP/1.1\r\n", "/wiki/home"},
    {"QueryKeptUndecoded", "GET /save/a?data=%41+b&eof=1 HTTP/1.1\r\n", "/save/a?data=%41+b&eof=1"},
    {"LeadingSpaces", "   GET /wiki/home HTTP/1.1\r\n", "/wiki/home"},
    {"SeveralSpacesBeforeTarget", "GET    /wiki/home HTTP/1.1\r\n", "/wiki/home"},
    {"TabIsNotASpace", "\tGET /wiki/home HTTP/1.1\r\n", std::nullopt},
    {"LowerCaseMethod", "get /wiki/home HTTP/1.1\r\n", std::nullopt},
    {"OtherMethod", "POST /wiki/home HTTP/1.1\r\n", std::nullopt},
    {"MethodWithoutSpace", "GET/wiki/home HTTP/1.1\r\n", std::nullopt},
    {"OnlySpacesAfterMethod", "GET      ", std::nullopt},
    {"MethodAtTheVeryEnd", "GET ", std::nullopt},
    {"TargetRunsToEndOfBytes", "GET /x", "/x"},
    {"AbsoluteForm", "GET http://127.0.0.1:8088/wiki/home HTTP/1.1\r\n", "/wiki/home"},
    {"AbsoluteFormHttps", "GET https://host:8088/edit/a HTTP/1.1\r\n", "/edit/a"},
    {"AbsoluteFormWithoutPath", "GET http://host:8088 HTTP/1.1\r\nHost: x\r\n", "/1.1\r\nHost:"},
    {"AbsoluteFormRunsOutOfBytes", "GET http://host", std::nullopt},
    {"UpperCaseHttpIsAPlainTarget", "GET HTTP://host/a HTTP/1.1\r\n", "HTTP://host/a"},
    {"NoProtocolVersion", "GET /wiki/home\r\nHost: x\r\n", "/wiki/home\r\nHost:"},
    {"Empty", "", std::nullopt},
};

void PrintTo(const RequestLineCase& testCase, std::ostream* out) {
  *out << testCase.name;
}

class RequestLine : public testing::TestWithParam<RequestLineCase> {};

TEST_P(RequestLine, FindsTargetOrRefuses) {
  EXPECT_EQ(parse(GetParam().received), GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(Table, RequestLine, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RequestLineBuffer, TargetEndingAFullBufferIsTerminatedInTheSpareByte) {
  static char buffer[kRequestBufferSize + 1];
  const std::string start = "GET /";
  std::memcpy(buffer, start.data(), start.size());
  std::memset(buffer + start.size(), 'a', kRequestBufferSize - start.size());
  buffer[kRequestBufferSize] = '#';
  const char* target = parseRequestLine(buffer, kRequestBufferSize);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(buffer[kRequestBufferSize], '\0');
  EXPECT_EQ(std::strlen(target), static_cast<size_t>(kRequestBufferSize - 4));
}

}  // namespace
