#pragma once
// A station with a source folder "in", a destination "out" and an action between them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"

namespace brisko::test {

class InOutTest : public ::testing::Test {
 public:
  void SetUp() override {
    src = host.Dir() + "/in";
    dst = host.Dir() + "/out";
    MakeFolder(src);
    MakeFolder(dst);
    action = InOutAction();
  }
  // An action named `name` from `src` to `dst`, its pass pending.
  std::unique_ptr<Action> InOutAction(const std::string& name = "T") {
    auto a = std::make_unique<Action>(host);
    a->m_strName = name;
    a->m_strSourceFolder = src;
    a->m_strDestFolder = dst;
    a->m_bRunPending = 1;
    return a;
  }
  Action& A() { return *action; }
  // A line of the action's log.
  std::string Line(const std::string& text) { return A().GetDescription() + " " + text; }

  FakeHost host;
  std::string src, dst;
  std::unique_ptr<Action> action;
};

}  // namespace brisko::test
