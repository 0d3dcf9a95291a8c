// The window's side of the instance socket: a request whose answer is its result (actions)
// gets that answer; the others get "ok" and run from the event loop.
#include "ui/instance_listener.h"

#include <gtest/gtest.h>

#include <QTest>
#include <thread>

#include "common/temp_dir.h"

namespace brisko {
namespace {

TEST(TheWindowsListener, AnswersAnActionsRequestWithItsResultAndHandsOnTheOthers) {
  test::TempDir dir;
  const std::string socket = dir / "s.sock";
  std::vector<InstanceRequest> handled;
  std::vector<std::vector<std::string>> answered;
  InstanceListener listener(
      [&](const InstanceRequest& r) {
        handled.push_back(r);
        return PaperAnswer{};
      },
      [&](const InstanceRequest& r) {
        answered.push_back(r.args);
        return InstanceAnswer{1, "", "no action 7\n"};
      });
  ASSERT_TRUE(listener.Listen(QString::fromStdString(socket)));
  InstanceAnswer answer;
  bool sent = false, commandSent = false;
  std::thread client([&] {
    sent = SendActionsRequest(socket, {"show", "7"}, 10000, answer);
    commandSent = SendInstanceRequest(socket, {InstanceRequest::Command, 3, ""}, 10000);
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return handled.size() == 1; }, 15000));
  client.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(answer, (InstanceAnswer{1, "", "no action 7\n"}));
  EXPECT_EQ(answered, (std::vector<std::vector<std::string>>{{"show", "7"}}));
  EXPECT_TRUE(commandSent);
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0].command, 3);
}

}  // namespace
}  // namespace brisko
