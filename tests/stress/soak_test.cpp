// Thousands of mixed requests to one server: every reply stays exact, and the
// server's descriptors and memory do not grow.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "blackbox/blackbox.h"

namespace {

using namespace std::chrono_literals;

int requestCount() {
  const char* value = std::getenv("QUILLET_SOAK_REQUESTS");
  return value != nullptr ? std::atoi(value) : 10000;
}

enum Kind { kView, kEdit, kSave, kInvalid, kShort, kGarbled, kHalfClosed, kOversized, kVanish };
constexpr int kKinds = kVanish + 1;

class Soak : public BlackBox {
 protected:
  // Sends one request of the kind and says whether the reply was right.
  bool runOne(Kind kind, std::mt19937& random) {
    const std::string name = "page" + std::to_string(random() % 5);
    switch (kind) {
      case kView:
        return exchange(fullBufferRequest("/wiki/" + name)).bytes == expectedView(name, false);
      case kEdit:
        return exchange(fullBufferRequest("/edit/" + name)).bytes == expectedEdit(name);
      case kSave: {
        const std::string number = std::to_string(random());
        const std::string target = "/save/" + name + "?data=saved+" + number + "+%5Bpage1%5D&eof=1";
        const std::string reply = exchange(fullBufferRequest(target)).bytes;
        pages_[name] = "saved " + number + " [page1]";
        return reply == expectedView(name, true);
      }
      case kInvalid:
        return exchange(fullBufferRequest("/wiki/a.b")).bytes == framedReply("Invalid page name");
      case kShort:
        return exchange(halfClosedExchange("GET /wiki/x")).bytes.empty();
      case kGarbled: {
        std::string garbage(120, '\0');
        for (char& byte : garbage) {
          byte = static_cast<char>(random());
        }
        return exchange(halfClosedExchange(garbage)).bytes.empty();
      }
      case kHalfClosed:
        return exchange(halfClosedExchange(getRequest("/wiki/" + name))).bytes.empty();
      case kOversized:
        return exchange(fullBufferRequest("/wiki/" + name) + std::string(50000, 'o')).bytes ==
               expectedView(name, false);
      case kVanish:
        return vanishMidResponse();
    }
    return false;
  }

  std::string expectedView(const std::string& name, bool justSaved) {
    const auto page = pages_.find(name);
    if (page == pages_.end()) {
      return framedReply(missingPage(name));
    }
    std::string html = page->second;
    const std::string link = "[page1]";
    html.replace(html.find(link), link.size(), "<a href='/wiki/page1'>page1</a>");
    return framedReply((justSaved ? "<b>Page saved!</b> - " : "") + navigationLine(name) + html);
  }

  // The stored texts hold no '&' or '<', so the form holds them unchanged.
  std::string expectedEdit(const std::string& name) {
    const auto page = pages_.find(name);
    return framedReply("Edit " + name + ":<form method='get' action='/save/" + name +
                       "'><textarea style='background: #202020; color: #d0d0d0' name=data "
                       "cols=70 rows=25>" +
                       (page == pages_.end() ? "" : page->second) +
                       "</textarea><input type=hidden name=eof value=1><input "
                       "type='submit'></form>");
  }

  bool vanishMidResponse() {
    const int socket = connectToServer();
    if (socket < 0) {
      return false;
    }
    const std::string request = fullBufferRequest("/wiki/big");
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t count = ::send(socket, request.data() + sent, request.size() - sent, 0);
      if (count <= 0) {
        break;
      }
      sent += static_cast<size_t>(count);
    }
    char first[256];
    const bool answered = ::recv(socket, first, sizeof first, 0) > 0;
    closeAbortively(socket);
    return answered;
  }

  std::map<std::string, std::string> pages_;
};

TEST_F(Soak, MixedRequestsKeepRepliesExactAndResourcesFlat) {
  std::ofstream(server.pagePath("big.txt"), std::ios::binary) << std::string(600 * 1024, 'b');
  std::mt19937 random(20261207);
  const int total = requestCount();
  const int warmUp = total / 10;
  size_t descriptorsAfterWarmUp = 0;
  std::string descriptorListAfterWarmUp;
  long residentAfterWarmUp = 0;
  int wrong = 0;
  for (int i = 0; i < total; ++i) {
    if (i == warmUp) {
      // A client that vanished may leave the server still closing its socket;
      // the server answers one connection at a time, so once this reply is in,
      // every earlier connection is closed, and this one is left out.
      exchange(fullBufferRequest("/wiki/missing"));
      descriptorsAfterWarmUp = lastingDescriptorCount(server.pid());
      descriptorListAfterWarmUp = openDescriptorList(server.pid());
      residentAfterWarmUp = statusKilobytes(server.pid(), "VmRSS:");
    }
    const Kind kind = static_cast<Kind>(random() % kKinds);
    if (!runOne(kind, random)) {
      ++wrong;
      ADD_FAILURE() << "request " << i << " of kind " << kind << " got a wrong reply";
      if (wrong > 10) {
        break;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(server.running());
  EXPECT_EQ(exchange(fullBufferRequest("/wiki/missing")).bytes,
            framedReply(missingPage("missing")));
  EXPECT_TRUE(descriptorCountSettlesAt(server.pid(), descriptorsAfterWarmUp))
      << "after the warm-up:\n"
      << descriptorListAfterWarmUp << "at the end:\n"
      << openDescriptorList(server.pid());
  const long growth = statusKilobytes(server.pid(), "VmRSS:") - residentAfterWarmUp;
  EXPECT_LT(growth, 2048) << "resident memory grew by " << growth << " KiB";
  RecordProperty("ResidentGrowthKiB", std::to_string(growth));
}

TEST_F(Soak, ParallelClientsAreServedOneAtATimeWithoutError) {
  std::ofstream(server.pagePath("shared.txt"), std::ios::binary) << "same for all";
  const std::string expected = framedReply(navigationLine("shared") + "same for all");
  constexpr int kClients = 6;
  constexpr int kRequestsEach = 60;
  std::vector<int> wrong(kClients, 0);
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back([&wrong, &expected, client] {
      for (int i = 0; i < kRequestsEach; ++i) {
        if (exchange(fullBufferRequest("/wiki/shared")).bytes != expected) {
          ++wrong[client];
        }
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  EXPECT_EQ(wrong, std::vector<int>(kClients, 0));
}

}  // namespace
