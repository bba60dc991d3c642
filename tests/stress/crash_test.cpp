// SIGKILL at random moments during a stream of saves of one page: after every
// kill the last saved text, or the one being saved, is whole on disk.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "blackbox/blackbox.h"
#include "support/temp_directory.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::optional<std::string> readIfPresent(const fs::path& path) {
  if (!fs::exists(path)) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Large enough that a torn write would show, and different in every save.
std::string textOfSave(int save) {
  std::string text = "save " + std::to_string(save) + ":";
  text.append(150000 + save % 1000, static_cast<char>('a' + save % 26));
  return text;
}

int roundCount() {
  const char* value = std::getenv("QUILLET_CRASH_ROUNDS");
  return value != nullptr ? std::atoi(value) : 40;
}

TEST(CrashSafety, KilledSavesLeaveTheLastOrTheNextTextWhole) {
  ASSERT_FALSE(portIsListening());
  const fs::path directory = makeTemporaryDirectory();
  const fs::path page = directory / "pages" / "page.txt";
  std::mt19937 random(7);
  std::optional<std::string> lastSaved;  // acknowledged by the server
  int nextSave = 0;
  int betweenRenames = 0;

  for (int round = 0; round < roundCount(); ++round) {
    ServerProcess server;
    ASSERT_TRUE(server.startIn(directory));
    std::atomic<int> inFlight{-1};
    std::atomic<bool> stop{false};
    std::optional<std::string> acknowledged = lastSaved;
    std::thread client([&] {
      while (!stop) {
        const int save = nextSave++;
        inFlight = save;
        const std::string reply =
            exchange(fullBufferRequest("/save/page?data=" + textOfSave(save) + "&eof=1")).bytes;
        if (reply.find("<b>Page saved!</b>") == std::string::npos) {
          return;  // killed mid-save
        }
        acknowledged = textOfSave(save);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 150));
    server.killAtOnce();
    stop = true;
    client.join();

    const std::optional<std::string> current = readIfPresent(page);
    const std::string pending = textOfSave(inFlight);
    if (current) {
      EXPECT_TRUE(current == acknowledged || *current == pending)
          << "round " << round << ": the page file holds neither whole text";
    } else if (acknowledged) {
      ++betweenRenames;
      EXPECT_EQ(readIfPresent(directory / "pages" / "page.txt.old"), acknowledged)
          << "round " << round;
      EXPECT_EQ(readIfPresent(directory / "pages" / "page.txt.new"), pending) << "round " << round;
    }
    lastSaved = current ? current : acknowledged;
  }
  RecordProperty("KillsBetweenRenames", betweenRenames);

  // After the last kill the server starts and saves as usual.
  ServerProcess server;
  ASSERT_TRUE(server.startIn(directory));
  EXPECT_NE(fetch("/save/page?data=after&eof=1").find("Page saved!"), std::string::npos);
  EXPECT_EQ(readIfPresent(page), "after");
  server.stop();
  fs::remove_all(directory);
}

}  // namespace
