#include "camera/camera_source.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

TEST(CameraSourceText, NamesTheFirstCameraAPortOrAFolder) {
  struct Row {
    std::string text;
    bool ok;
    CameraSource::Kind kind;
    std::string port;
  };
  using K = CameraSource::Kind;
  const Row rows[] = {
      {"camera:", true, K::First, ""},
      {"camera:/", true, K::First, ""},
      {"camera:usb:001,004", true, K::Usb, "usb:001,004"},
      {"camera:usb:1,4", true, K::Usb, "usb:001,004"},
      {"camera:disk:/media/cam/", true, K::Disk, "disk:/media/cam"},
      {"camera:disk:/a b/c", true, K::Disk, "disk:/a b/c"},
      {"camera:usb:0001,004", false, K::First, ""},
      {"camera:usb:1;4", false, K::First, ""},
      {"camera:usb:,", false, K::First, ""},
      {"camera:usb:1,x", false, K::First, ""},
      {"camera:disk:relative", false, K::First, ""},
      {"camera:disk:", false, K::First, ""},
      {"camera:disk:/", false, K::First, ""},
      {"camera:ptpip:10.0.0.1", false, K::First, ""},
      {std::string("camera:disk:/a\0b", 16), false, K::First, ""},
      {"camera:disk:/a\nb", false, K::First, ""},
      {"Camera:", false, K::First, ""},
      {"/media/card", false, K::First, ""},
      {"camera:disk:/" + std::string(5000, 'a'), false, K::First, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text.substr(0, 40));
    std::string why;
    const auto source = ParseCameraSource(r.text, &why);
    ASSERT_EQ(source.has_value(), r.ok) << why;
    if (!r.ok) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    EXPECT_EQ(source->kind, r.kind);
    EXPECT_EQ(source->port, r.port);
    EXPECT_EQ(ParseCameraSource(source->Text())->port, r.port);  // the text it gives names it again
  }
}

TEST(CameraSourceText, WarnsOfADiskCameraThatIsNoFolder) {
  EXPECT_EQ(CameraSourceWarning("camera:disk:/"), "");
  EXPECT_EQ(CameraSourceWarning("camera:usb:001,004"), "");
  EXPECT_EQ(CameraSourceWarning("/no/camera"), "");
  EXPECT_EQ(
      CameraSourceWarning("camera:disk:/nonexistent/cam"),
      "The camera folder /nonexistent/cam does not exist; the action takes photos from it once it does.");
  EXPECT_NE(CameraSourceWarning("camera:disk:/proc/self/status").find("is not a folder"), std::string::npos);
}

}  // namespace
}  // namespace brisko
