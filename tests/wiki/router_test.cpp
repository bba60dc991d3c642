#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "server/http_server.h"
#include "server/testing.h"
#include "support/captured_response.h"
#include "support/expected_pages.h"
#include "support/temp_directory.h"
#include "wiki/router.h"

namespace {

namespace fs = std::filesystem;

std::string view(const std::string& name, const std::string& text) {
  return framedPage(navigationLine(name) + text);
}

enum class Stops { kNo, kYes };

struct RouteCase {
  std::string target;
  std::string reply;
  Stops stops = Stops::kNo;
};

void PrintTo(const RouteCase& routeCase, std::ostream* out) {
  *out << routeCase.target;
}

const std::string kStopLink = framedPage("<a href='/byebye'>Click here to kill the server</a>.");
const std::string kInvalid = framedPage("Invalid page name");
const std::string kMain = view("main", "Main text");

std::vector<RouteCase> routeCases() {
  return {
      {"/byebye", "", Stops::kYes},
      {"/byebyeX", "", Stops::kYes},
      {"/byebye?now=1", "", Stops::kYes},
      {"/bye", kStopLink},
      {"/byeX", kStopLink},
      {"/bye/home", kStopLink},
      {"/BYEBYE", kMain},
      {"/edit/home", framedPage(editForm("home", "Home text"))},
      {"/edit/Home?x=1", framedPage(editForm("home", "Home text"))},
      {"/edit/new", framedPage(editForm("new", ""))},
      {"/edit/", kInvalid},
      {"/edit/a.b", kInvalid},
      {"/save/", kInvalid},
      {"/save/..?data=x&eof=1", kInvalid},
      {"/wiki/home", view("home", "Home text")},
      {"/wiki/HOME?q=1", view("home", "Home text")},
      {"/wiki/missing", framedPage(missingPage("missing"))},
      {"/wiki/", kInvalid},
      {"/wiki/%41", kInvalid},
      {"/", kMain},
      {"/favicon.ico", kMain},
      {"/wikihome", kMain},
      {"/wiki", kMain},
      {"/edit", kMain},
      {"/save", kMain},
      {"/WIKI/home", kMain},
      {"/Edit/home", kMain},
      {"anything", kMain},
  };
}

class RouterTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory("pages");
    std::ofstream("pages/main.txt", std::ios::binary) << "Main text";
    std::ofstream("pages/home.txt", std::ios::binary) << "Home text";
    letServerRunAgain();
  }
  void TearDown() override { letServerRunAgain(); }

  ScopedWorkingDirectory directory;
};

class Routing : public RouterTest, public testing::WithParamInterface<RouteCase> {};

TEST_P(Routing, ChoosesTheActionByTheTargetsLeadingBytes) {
  std::vector<char> target(GetParam().target.begin(), GetParam().target.end());
  target.push_back('\0');
  const std::string reply = captureResponse([&target](ClientRequest& request) {
    request.target = target.data();
    handleWikiRequest(request);
  });
  EXPECT_EQ(reply, GetParam().reply);
  EXPECT_EQ(serverRunning(), GetParam().stops == Stops::kNo);
}

INSTANTIATE_TEST_SUITE_P(Table, Routing, testing::ValuesIn(routeCases()));

TEST_F(RouterTest, InvalidNamesNeverTouchPageFiles) {
  for (const char* target :
       {"/edit/a.b", "/save/a.b?data=x&eof=1", "/save/?data=x&eof=1", "/save/a%2Fb?data=x&eof=1"}) {
    std::vector<char> bytes(target, target + std::strlen(target) + 1);
    captureResponse([&bytes](ClientRequest& request) {
      request.target = bytes.data();
      handleWikiRequest(request);
    });
  }
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator("pages")) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"home.txt", "main.txt"}));
}

std::string replyWithHeaders(const std::string& path, const std::string& headers, bool cut) {
  std::vector<char> target(path.begin(), path.end());
  target.push_back('\0');
  return captureResponse([&](ClientRequest& request) {
    request.target = target.data();
    request.headers = headers;
    request.headersCut = cut;
    handleWikiRequest(request);
  });
}

// The forged save itself is checked end to end by the black-box tests.
TEST_F(RouterTest, ForgedOrUntoldStopAndUntoldSaveChangeNothing) {
  const std::string refusedStop = framedPage(
      "This stop request came from another web site and was refused; the server keeps running. "
      "<a href='/'>Main</a>.");
  const std::tuple<std::string, std::string, bool, std::string> cases[] = {
      {"/byebye", "Sec-Fetch-Site: cross-site\r\n", false, refusedStop},
      {"/byebye", "", true, refusedStop},
      {"/save/home?data=x&eof=1", "", true, framedPage(kTooLarge)},
  };
  for (const auto& [path, headers, cut, reply] : cases) {
    EXPECT_EQ(replyWithHeaders(path, headers, cut), reply);
    EXPECT_TRUE(serverRunning());
  }
  std::ifstream home("pages/home.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(home), {}), "Home text");
}

const std::string kOtherName = framedPage(
    "Quillet answers only at this machine's own addresses, such as http://localhost:8088/. This "
    "request was sent to another name, so nothing was shown or changed.");

TEST_F(RouterTest, OtherNamesGetNoPageAndChangeNothingOnAnyRoute) {
  for (const char* path : {"/wiki/home", "/edit/home", "/save/home?data=x&eof=1", "/bye", "/byebye",
                           "/", "/wiki/a.b"}) {
    EXPECT_EQ(replyWithHeaders(path, "Host: rebind.test:8088\r\n", false), kOtherName) << path;
    EXPECT_TRUE(serverRunning()) << path;
  }
  std::ifstream home("pages/home.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(home), {}), "Home text");
  EXPECT_FALSE(fs::exists("pages/home.txt.old"));
}

// A page that padded its URL so that the Host line falls past the buffer.
TEST_F(RouterTest, UnseenNameShowsNoTextOfAnExistingPage) {
  const std::pair<std::string, std::string> cases[] = {
      {"/wiki/home", kOtherName},
      {"/edit/home", kOtherName},
      {"/wiki/missing", framedPage(missingPage("missing"))},
      {"/edit/missing", framedPage(editForm("missing", ""))},
  };
  for (const auto& [path, reply] : cases) {
    EXPECT_EQ(replyWithHeaders(path, "", true), reply) << path;
  }
}

}  // namespace
