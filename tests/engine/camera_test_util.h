#pragma once
// A camera as the source of actions: libgphoto2's Directory Browse driver over a folder.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "camera/camera_pool.h"
#include "engine/action/action.h"
#include "engine/base/record_file.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/records/move_journal.h"
#include "engine/records/recovery.h"

namespace brisko::test {

constexpr std::time_t kShot = 1'600'000'000;  // 2020-09-13 12:26:40 UTC

class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cam = host.Dir() + "/cam";
    dcim = cam + "/DCIM/100TEST";
    dst = host.Dir() + "/out";
    temp = host.Dir() + "/temp";
    MakeFolder(dcim);
    MakeFolder(dst);
  }
  void TearDown() override {
    MoveJournal::SetStepHookForTest(nullptr);
    SetRecordBoundForTest(0);
  }
  // An action from the camera, with its subfolders, to `dst`, its pass pending.
  std::unique_ptr<Action> CameraAction(int type) {
    auto a = std::make_unique<Action>(host);
    a->m_strName = "Cam";
    a->m_iType = type;
    a->m_strSourceFolder = "camera:disk:" + cam;
    a->m_strDestFolder = dst;
    a->m_bIncludeSubFolders = 1;
    a->m_bRunPending = 1;
    return a;
  }
  void Shoot(const std::string& name, const std::string& data = std::string(3000, 'p')) {
    MakeFile(dcim + "/" + name, data, kShot);
  }
  // In a child that is to die: a camera's worker thread stays behind in the parent, so the
  // child opens its own camera and never tears down the parent's.
  void LeaveTheCameraToTheParent() { new std::shared_ptr<CameraPool>(std::move(host.Values().m_cameras)); }
  // The next station after a kill: its own camera session, and what a start sweeps.
  void StartTheNextStation(CameraLimits limits = {}) {
    host.Values().m_cameras = std::make_shared<CameraPool>(nullptr, limits);
    SweepDeadLeftovers(temp, temp, false);
    SweepDeadLeftovers(temp, dst, true);
  }

  FakeHost host;
  std::string cam, dcim, dst, temp;
};

}  // namespace brisko::test
