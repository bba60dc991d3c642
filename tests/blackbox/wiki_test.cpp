#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "blackbox/blackbox.h"

namespace {

using namespace std::chrono_literals;

const std::string kNavigation = navigationLine("home");

std::string formEncode(const std::string& text) {
  std::string encoded;
  for (const unsigned char byte : text) {
    if (std::isalnum(byte) || byte == '-' || byte == '_' || byte == '.' || byte == '*') {
      encoded.push_back(static_cast<char>(byte));
    } else if (byte == ' ') {
      encoded.push_back('+');
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte);
      encoded += escape;
    }
  }
  return encoded;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(BlackBox, EditSaveAndViewRoundTripsTheText) {
  EXPECT_EQ(fetch("/edit/home"),
            framedReply("Edit home:<form method='get' action='/save/home'><textarea "
                        "style='background: #202020; color: #d0d0d0' name=data cols=70 "
                        "rows=25></textarea><input type=hidden name=eof value=1><input "
                        "type='submit'></form>"));

  const std::string text = "Caf\xc3\xa9 [Links] and [more]\r\n1 & 2 + 3 = 100%\r\nend";
  const std::string shown =
      "Caf\xc3\xa9 <a href='/wiki/Links'>Links</a> and <a href='/wiki/more'>more</a>\r<br>1 "
      "&amp; 2 + 3 = 100%\r<br>end";
  EXPECT_EQ(fetch("/save/home?data=" + formEncode(text) + "&eof=1"),
            framedReply("<b>Page saved!</b> - " + kNavigation + shown));
  EXPECT_EQ(readFile(server.pagePath("home.txt")), text);
  EXPECT_FALSE(std::filesystem::exists(server.pagePath("home.txt.new")));
  EXPECT_EQ(fetch("/wiki/Home"), framedReply(kNavigation + shown));
}

TEST_F(BlackBox, SaveForgedByAnotherSiteChangesNoFile) {
  fetch("/save/home?data=first&eof=1");
  fetch("/save/home?data=second&eof=1");
  const std::string target = "/save/home?data=forged&eof=1";
  EXPECT_EQ(exchange(getRequest(target, "Sec-Fetch-Site: cross-site\r\n")).bytes,
            framedReply("This save came from another web site and was refused; nothing was "
                        "changed. <a href='/wiki/home'>Back to home</a>."));
  EXPECT_EQ(readFile(server.pagePath("home.txt")), "second");
  EXPECT_EQ(readFile(server.pagePath("home.txt.old")), "first");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(server.directory() / "pages"), {}),
            2);

  EXPECT_EQ(exchange(getRequest(target, "Sec-Fetch-Site: same-origin\r\n")).bytes,
            framedReply("<b>Page saved!</b> - " + kNavigation + "forged"));
  EXPECT_EQ(readFile(server.pagePath("home.txt")), "forged");
}

TEST_F(BlackBox, LinkToMissingPageOffersToCreateIt) {
  fetch("/save/home?data=see+%5Bnext%5D&eof=1");
  EXPECT_EQ(fetch("/wiki/next"), framedReply(missingPage("next")));
}

TEST_F(BlackBox, InvalidNameAnswersAndWritesNothing) {
  EXPECT_EQ(fetch("/save/a.b?data=x&eof=1"), framedReply("Invalid page name"));
  EXPECT_TRUE(std::filesystem::is_empty(server.directory() / "pages"));
}

TEST_F(BlackBox, StopLinkThenStopEndsTheProcessWithZero) {
  EXPECT_EQ(fetch("/bye"), framedReply("<a href='/byebye'>Click here to kill the server</a>."));
  EXPECT_EQ(fetch("/byebye"), kStatusLine);
  EXPECT_EQ(server.waitForExit(underLauncher() ? 10s : 3s), 0);
}

TEST_F(BlackBox, HalfClosedStopRequestStillStopsTheServer) {
  EXPECT_EQ(exchange(halfClosedExchange(getRequest("/byebye"))).bytes, "");
  EXPECT_EQ(server.waitForExit(underLauncher() ? 10s : 3s), 0);
}

TEST_F(BlackBox, HalfClosedSaveIsStoredWithoutReply) {
  EXPECT_EQ(exchange(halfClosedExchange(getRequest("/save/home?data=kept&eof=1"))).bytes, "");
  EXPECT_EQ(readFile(server.pagePath("home.txt")), "kept");
}

TEST_F(BlackBox, ClientLeavingMidResponseLeavesTheServerServing) {
  std::ofstream(server.pagePath("big.txt"), std::ios::binary) << std::string(640 * 1024, 'b');
  for (int round = 0; round < 3; ++round) {
    const int socket = connectToServer();
    ASSERT_GE(socket, 0);
    const std::string request = getRequest("/wiki/big");
    ASSERT_EQ(::send(socket, request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    char first[64];
    ASSERT_GT(::recv(socket, first, sizeof first, 0), 0);
    closeAbortively(socket);
  }
  const std::string reply = fetch("/wiki/big");
  EXPECT_EQ(reply, framedReply(navigationLine("big") + std::string(640 * 1024, 'b')));
}

TEST_F(BlackBox, TerminationSignalDuringRequestExitsWithZeroAfterIt) {
  SKIP_UNDER_WINE("Wine does not pass SIGTERM on to the program's signal handler");
  const int socket = connectToServer();
  ASSERT_GE(socket, 0);
  const std::string request = getRequest("/bye");
  ASSERT_EQ(::send(socket, request.data(), 10, 0), 10);
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
  ASSERT_EQ(::send(socket, request.data() + 10, request.size() - 10, 0),
            static_cast<ssize_t>(request.size() - 10));
  EXPECT_EQ(readUntilClosed(socket, 5s),
            framedReply("<a href='/byebye'>Click here to kill the server</a>."));
  closeAbortively(socket);
  EXPECT_EQ(server.waitForExit(3s), 0);
}

// On Windows these name devices ("pages/con.txt" is the console), so the
// Windows build treats them as pages that cannot be opened; elsewhere they are
// ordinary names.
TEST_F(BlackBox, DeviceNamesArePagesOnlyWhereTheyNameNoDevice) {
  for (const std::string name : {"con", "NUL", "aux", "prn", "com1", "LPT9", "com0"}) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const std::string saved = fetch("/save/" + name + "?data=text&eof=1");
    const std::string view = fetch("/wiki/" + name);
    if (underWine()) {
      EXPECT_EQ(saved, framedReply("Failed to save the page contents.")) << name;
      EXPECT_EQ(view, framedReply(missingPage(lower))) << name;
    } else {
      EXPECT_EQ(readFile(server.pagePath(lower + ".txt")), "text") << name;
      EXPECT_EQ(view, framedReply(navigationLine(lower) + "text")) << name;
    }
  }
  EXPECT_TRUE(server.running());
}

// Another program holds the page open without sharing while it is asked for.
// A hold of a second is waited out; a long one fails the save, which changes
// nothing and leaves no file behind, within a few seconds.
struct HoldCase {
  const char* name;
  std::chrono::milliseconds hold;
  std::string target;
  std::string reply;
  std::string page;  // afterwards
  std::string backup;
};

void PrintTo(const HoldCase& holdCase, std::ostream* out) {
  *out << holdCase.name;
}

const HoldCase kHolds[] = {
    {"ViewWaitsForTheHolder", 1000ms, "/wiki/home", framedReply(kNavigation + "old text"),
     "old text", "older text"},
    {"EditFormWaitsForTheHolder", 1000ms, "/edit/home", framedReply(editForm("home", "old text")),
     "old text", "older text"},
    {"SaveWaitsForTheHolder", 1000ms, "/save/home?data=new+text&eof=1",
     framedReply("<b>Page saved!</b> - " + kNavigation + "new text"), "new text", "old text"},
    {"SaveGivesUpOnALongHold", 9000ms, "/save/home?data=new+text&eof=1",
     framedReply("Failed to save the page contents."), "old text", "older text"},
};

class HeldPage : public BlackBox, public testing::WithParamInterface<HoldCase> {};

TEST_P(HeldPage, IsWaitedForAWhileAndThenGivenUpOn) {
  if (!underWine()) {
    GTEST_SKIP() << "only Windows keeps other programs out of a file held without sharing";
  }
  ASSERT_TRUE(fileHolderBuilt()) << "hold_file.exe is not built beside quillet.exe (make windows)";
  fetch("/save/home?data=older+text&eof=1");
  fetch("/save/home?data=old+text&eof=1");
  const pid_t holder = startHoldingFile(server.pagePath("home.txt"), GetParam().hold);
  ASSERT_GT(holder, 0) << "the page could not be held";
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch(GetParam().target), GetParam().reply);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_TRUE(finishHolding(holder));
  EXPECT_EQ(readFile(server.pagePath("home.txt")), GetParam().page);
  EXPECT_EQ(readFile(server.pagePath("home.txt.old")), GetParam().backup);
  EXPECT_FALSE(std::filesystem::exists(server.pagePath("home.txt.new")));
  EXPECT_FALSE(std::filesystem::exists(server.pagePath("home.txt.tmp")));
}

INSTANTIATE_TEST_SUITE_P(Table, HeldPage, testing::ValuesIn(kHolds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
