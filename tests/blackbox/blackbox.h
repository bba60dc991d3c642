// Shared pieces of the tests that run the real server binary.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/expected_pages.h"
#include "support/server_process.h"

inline const std::string kStatusLine = "HTTP/1.0 200 OK\r\n";

// The exact bytes of a whole reply carrying this body.
inline std::string framedReply(const std::string& body) {
  return kStatusLine + framedPage(body);
}

class BlackBox : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(portIsListening()) << "port 8088 is taken by another process";
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.running()) << "server ended at start: " << server.standardError();
  }
  void TearDown() override { server.stop(); }

  ServerProcess server;
};

#define SKIP_UNDER_WINE(reason) \
  do {                          \
    if (underWine()) {          \
      GTEST_SKIP() << reason;   \
    }                           \
  } while (false)

#define SKIP_UNDER_QEMU(reason) \
  do {                          \
    if (underQemu()) {          \
      GTEST_SKIP() << reason;   \
    }                           \
  } while (false)
