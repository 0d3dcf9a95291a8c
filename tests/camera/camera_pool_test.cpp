// What the station says about cameras coming, going and being held by the desktop.
#include "camera/camera_pool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "common/mounts.h"
#include "common/temp_dir.h"

namespace brisko {
namespace {

// A camera that has nothing and does nothing; the buses below change what they need.
struct IdleDevice : CameraDevice {
  CameraStatus ListFolder(const std::string&, std::vector<std::string>&, std::vector<std::string>&) override {
    return {};
  }
  CameraStatus Stat(const std::string&, const std::string&, CameraFileStat&) override { return {}; }
  CameraStatus Download(const std::string&, const std::string&,
                        const std::function<bool(const char*, size_t)>&) override {
    return {};
  }
  CameraStatus Delete(const std::string&, const std::string&) override { return {}; }
  CameraStatus Upload(const std::string&, const std::string&, const std::string&) override { return {}; }
  CameraStatus WaitForEvent(int, CameraEvent&) override { return {}; }
  bool HasEvents() const override { return true; }
};

// A bus with one camera whose opening is scripted.
class ScriptedBus : public CameraBackend {
 public:
  CameraStatus Detect(std::vector<CameraInfo>& cameras) override {
    if (plugged) cameras.push_back({"Nikon DSC D750", "usb:002,007"});
    return {};
  }
  CameraStatus Open(const CameraInfo&, std::unique_ptr<CameraDevice>& device) override {
    ++opens;
    if (!openResult.Ok()) return openResult;
    device = std::make_unique<IdleDevice>();
    return {};
  }
  bool plugged = true;
  CameraStatus openResult;
  int opens = 0;
};

TEST(CameraPool, SaysOnceWhenACameraComesGoesOrIsHeldByTheDesktop) {
  auto bus = std::make_shared<ScriptedBus>();
  CameraLimits limits;
  limits.lookEveryMs = 0;
  CameraPool pool(bus, limits);
  std::vector<std::string> lines;
  auto log = [&](const std::string& line) { lines.push_back(line); };
  const CameraSource any = *ParseCameraSource("camera:");
  const CameraSource other = *ParseCameraSource("camera:usb:2,8");

  bus->openResult = CameraStatus::Make(CameraStatus::Kind::Busy, "Could not claim the USB device");
  for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(pool.Connect(any, nullptr, log), nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Nikon DSC D750 on usb:002,007 cannot be opened"), std::string::npos);
  EXPECT_NE(lines[0].find("gio mount -u gphoto2://[usb:002,007]/"), std::string::npos);

  bus->openResult = {};
  EXPECT_NE(pool.Connect(any, nullptr, log), nullptr);
  EXPECT_NE(pool.Connect(any, nullptr, log), nullptr);  // the open session is kept
  EXPECT_EQ(bus->opens, 4);
  EXPECT_EQ(pool.Connect(other, nullptr, log), nullptr);  // another port: not this camera
  pool.Lost(any, log);
  bus->plugged = false;
  EXPECT_EQ(pool.Connect(any, nullptr, log), nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{lines[0], "Camera connected: Nikon DSC D750 on usb:002,007",
                                             "Camera disconnected: Nikon DSC D750 on usb:002,007"}));
}

// A camera that answers a download with a few bytes and then nothing until it is let go.
class HangingBus : public CameraBackend {
 public:
  CameraStatus Detect(std::vector<CameraInfo>&) override { return {}; }
  CameraStatus Open(const CameraInfo&, std::unique_ptr<CameraDevice>& device) override {
    struct Hang : IdleDevice {
      HangingBus* bus;
      explicit Hang(HangingBus* b) : bus(b) {}
      CameraStatus Download(const std::string&, const std::string&,
                            const std::function<bool(const char*, size_t)>& sink) override {
        bool more = sink("abc", 3);
        std::unique_lock<std::mutex> lock(bus->mutex);
        bus->wake.wait(lock, [&] { return bus->released; });
        lock.unlock();
        more = more && sink("def", 3);  // refused: the session was given up on
        bus->refused = !more;
        return {};
      }
      bool HasEvents() const override { return false; }
    };
    device = std::make_unique<Hang>(this);
    return {};
  }
  std::mutex mutex;
  std::condition_variable wake;
  bool released = false;
  std::atomic<bool> refused{false};
};

TEST(CameraSession, ACallThatOverrunsItsLimitKillsTheSessionWithoutWaitingForIt) {
  auto bus = std::make_shared<HangingBus>();
  CameraLimits limits;
  limits.callMs = 200;
  int pumped = 0;
  auto session = std::make_unique<CameraSession>(bus, CameraInfo{"Hang", "usb:001,001"}, limits);
  ASSERT_TRUE(session->Open(nullptr).Ok());
  FILE* sink = std::tmpfile();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session->Download("/", "a.jpg", fileno(sink), [&] { ++pumped; }).kind,
            CameraStatus::Kind::Timeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_GT(pumped, 3);
  EXPECT_TRUE(session->Dead());
  // Never used again: the next call does not even reach the camera.
  CameraFileStat stat;
  EXPECT_EQ(session->Stat("/", "a.jpg", stat, nullptr).kind, CameraStatus::Kind::Timeout);
  session.reset();  // does not wait for the stuck call
  {
    std::lock_guard<std::mutex> lock(bus->mutex);
    bus->released = true;
  }
  bus->wake.notify_all();
  for (int i = 0; i < 100 && !bus->refused; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(bus->refused);
  std::fclose(sink);
}

TEST(GphotoBackend, NeverOffersAMountedCardAsACamera) {
  // libgphoto2 reports any mount holding a DCIM folder as a "Mass Storage Camera"; "camera:"
  // must not take photos off another program's card that way.
  test::TempDir dir;
  test::SmallTmpfs card(dir / "card", "64k");
  if (!card.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  ::mkdir((dir / "card/DCIM").c_str(), 0755);
  std::vector<CameraInfo> found;
  const CameraStatus status = MakeGphotoBackend()->Detect(found);
  ASSERT_TRUE(status.Ok()) << status.text;
  for (const CameraInfo& camera : found) EXPECT_NE(camera.port.rfind("disk:", 0), 0u) << camera.port;
}

TEST(CameraPool, SaysOnceWhenADiskCameraIsNotAFolder) {
  test::TempDir dir;
  const std::string root = dir.Path();
  CameraLimits limits;
  limits.lookEveryMs = 0;
  CameraPool pool(std::make_shared<ScriptedBus>(), limits);
  std::vector<std::string> lines;
  auto log = [&](const std::string& line) { lines.push_back(line); };
  const CameraSource missing = *ParseCameraSource("camera:disk:" + root + "/none");
  const CameraSource file = *ParseCameraSource("camera:disk:" + root + "/file");
  test::WriteFile(root + "/file", "");
  for (int pass = 0; pass < 3; ++pass) {
    EXPECT_EQ(pool.Connect(missing, nullptr, log), nullptr);
    EXPECT_EQ(pool.Connect(file, nullptr, log), nullptr);
  }
  EXPECT_EQ(lines,
            (std::vector<std::string>{"Camera not found: camera:disk:" + root + "/none (no such folder)",
                                      "Camera not found: camera:disk:" + root + "/file (not a folder)"}));
}

}  // namespace
}  // namespace brisko
