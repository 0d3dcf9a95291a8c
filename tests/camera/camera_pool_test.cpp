// What the station says about cameras coming, going and being held by the desktop.
#include "camera/camera_pool.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

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
    struct Quiet : CameraDevice {
      CameraStatus ListFolder(const std::string&, std::vector<std::string>&,
                              std::vector<std::string>&) override {
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
    device = std::make_unique<Quiet>();
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

}  // namespace
}  // namespace brisko
