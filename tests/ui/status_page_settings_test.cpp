#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "ui/settings_dialog.h"

namespace brisko {
namespace {

TEST(StatusPageSettings, DialogShowsAndReturnsThePageSettings) {
  CSettingsDlg dlg("/var/log/", 2, 1, "/var/tmp/");
  const StatusPageConfig shown{true, "0.0.0.0", 9001, MakeStatusPageKey()};
  const QString url = QString("http://192.0.2.7:9001/?key=") + QString::fromStdString(shown.key);
  dlg.SetStatusPage(shown, url);
  const StatusPageConfig back = dlg.StatusPage();
  EXPECT_TRUE(back.enabled);
  EXPECT_EQ(back.address, "0.0.0.0");
  EXPECT_EQ(back.port, 9001);
  EXPECT_EQ(back.key, shown.key);
  EXPECT_FALSE(dlg.StatusPageQr()->pixmap().isNull());
  EXPECT_TRUE(dlg.StatusPageKeyEdit()->isReadOnly());
  dlg.NewKeyButton()->click();
  EXPECT_NE(dlg.StatusPage().key, shown.key);
  EXPECT_TRUE(IsValidStatusPageKey(dlg.StatusPage().key));
  // Off: no code to scan.
  dlg.SetStatusPage(StatusPageConfig{}, QString());
  EXPECT_TRUE(dlg.StatusPageQr()->pixmap().isNull());
  EXPECT_FALSE(dlg.StatusPageBox()->isChecked());
  EXPECT_EQ(dlg.StatusPagePortSpin()->value(), kDefaultStatusPagePort);
}

TEST(StatusPageSettings, QrCodeHasFinderPatternsAndQuietZone) {
  const int scale = 3;
  const QImage qr = QrCodeImage("http://192.0.2.7:8642/?key=0123456789abcdef0123456789abcdef", scale);
  ASSERT_FALSE(qr.isNull());
  EXPECT_EQ(qr.width(), qr.height());
  const int modules = qr.width() / scale - 8;
  EXPECT_EQ((modules - 17) % 4, 0) << modules;  // a QR version's size
  auto dark = [&](int mx, int my) {
    return qGray(qr.pixel((mx + 4) * scale + 1, (my + 4) * scale + 1)) < 128;
  };
  EXPECT_FALSE(qGray(qr.pixel(1, 1)) < 128);  // quiet zone
  // The three finder patterns: dark outer ring, light ring, dark centre.
  for (auto [x, y] : {std::pair{0, 0}, std::pair{modules - 7, 0}, std::pair{0, modules - 7}}) {
    EXPECT_TRUE(dark(x, y));
    EXPECT_FALSE(dark(x + 1, y + 1));
    EXPECT_TRUE(dark(x + 3, y + 3));
  }
  EXPECT_TRUE(QrCodeImage(QString(5000, 'a')).isNull());  // beyond what a code holds
}

}  // namespace
}  // namespace brisko
