#include "app/instance_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <thread>

#include "common/temp_dir.h"

namespace brisko {
namespace {

TEST(AnInstanceRequest, SurvivesTheWire) {
  const std::vector<InstanceRequest> requests = {
      {InstanceRequest::Raise, 0, ""},
      {InstanceRequest::Command, 1, ""},
      {InstanceRequest::Command, 20, ""},
      {InstanceRequest::Barcode, 0, "P0001|G2|V Hall 3 | ünïcode"},
  };
  for (const auto& r : requests) {
    std::string line = FormatInstanceRequest(r);
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    EXPECT_EQ(ParseInstanceRequest(line), r) << line;
  }
}

TEST(AnInstanceRequest, BrokenLinesAreRefused) {
  for (const std::string& line : std::vector<std::string>{
           "", "raise ", "RAISE", "command", "command 0", "command 21", "command -1", "command 1x",
           "command  1", "barcode ", "barcode", "open file.txt", std::string("barcode a\0b", 11),
           "barcode P\n\xab"
           "1 P",
           std::string(kMaxInstanceRequestBytes, 'x')})
    EXPECT_FALSE(ParseInstanceRequest(line)) << line;
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::Barcode, 0, "a\nraise"}), "");
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::Command, 21, ""}), "");
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::Barcode, 0, std::string(kMaxInstanceRequestBytes, 'x')}),
            "");
}

class AnInstanceChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("XDG_RUNTIME_DIR");
    m_oldRuntime = old ? old : "";
    setenv("XDG_RUNTIME_DIR", m_dir.Path().c_str(), 1);
  }
  void TearDown() override {
    if (m_oldRuntime.empty())
      unsetenv("XDG_RUNTIME_DIR");
    else
      setenv("XDG_RUNTIME_DIR", m_oldRuntime.c_str(), 1);
  }
  test::TempDir m_dir;
  std::string m_oldRuntime;
};

TEST_F(AnInstanceChannel, NamesItsFilesAfterTheStore) {
  InstancePaths a = InstancePathsForStore(m_dir / "a.db");
  InstancePaths b = InstancePathsForStore(m_dir / "b.db");
  InstancePaths a2 = InstancePathsForStore(m_dir.Path() + "/./a.db");
  EXPECT_NE(a.socket, b.socket);
  EXPECT_EQ(a.socket, a2.socket);
  EXPECT_EQ(a.lock.rfind(m_dir.Path(), 0), 0u);
}

TEST_F(AnInstanceChannel, LetsOnlyOneHolderHaveTheLock) {
  InstancePaths p = InstancePathsForStore(m_dir / "s.db");
  {
    InstanceLock first, second;
    EXPECT_EQ(first.Acquire(p.lock), InstanceLock::Acquired);
    EXPECT_EQ(second.Acquire(p.lock), InstanceLock::HeldByOther);
  }
  InstanceLock again;
  EXPECT_EQ(again.Acquire(p.lock), InstanceLock::Acquired);
  InstanceLock bad;
  std::string error;
  EXPECT_EQ(bad.Acquire(m_dir / "missing/x.lock", &error), InstanceLock::Failed);
  EXPECT_NE(error, "");
}

TEST_F(AnInstanceChannel, HandsARequestToTheRunningStation) {
  InstancePaths p = InstancePathsForStore(m_dir / "s.db");
  test::WriteFile(p.socket, "stale");  // left behind by a crashed station
  InstanceServer server;
  ASSERT_TRUE(server.Listen(p.socket));
  bool sent = false;
  std::thread client([&] { sent = SendInstanceRequest(p.socket, {InstanceRequest::Command, 7, ""}, 5000); });
  pollfd waiting{server.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 5000), 1);  // as the station's loop does
  std::optional<InstanceRequest> got = server.AcceptOne();
  client.join();
  EXPECT_TRUE(sent);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->kind, InstanceRequest::Command);
  EXPECT_EQ(got->command, 7);
}

TEST_F(AnInstanceChannel, ReportsWhenNobodyAnswers) {
  std::string error;
  EXPECT_FALSE(SendInstanceRequest(m_dir / "none.sock", {}, 200, &error));
  EXPECT_NE(error.find("cannot reach"), std::string::npos) << error;
}

}  // namespace
}  // namespace brisko
