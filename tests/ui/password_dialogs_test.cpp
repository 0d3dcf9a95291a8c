#include "ui/password_dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "common/temp_dir.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

QPushButton* Ok(QDialog& dialog) {
  return dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
}

class ThePasswordDialogs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store.Open(dir / "settings.db")); }
  test::TempDir dir;
  SettingsStore store;
};

}  // namespace

TEST_F(ThePasswordDialogs, acceptOnlyTheStoredPassword) {
  store.WriteProfileString("Settings", "ps", "pw");
  CEnterPasswordDlg dialog(store);
  dialog.show();
  EXPECT_EQ(dialog.windowTitle(), "Enter Password");
  EXPECT_EQ(dialog.ThirdButton()->text(), "Change password...");
  EXPECT_EQ(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);
  dialog.PasswordEdit()->setText("PW");
  QTest::mouseClick(Ok(dialog), Qt::LeftButton);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.PasswordEdit()->text(), "PW");
  dialog.PasswordEdit()->setText("pw");
  QTest::mouseClick(Ok(dialog), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(ThePasswordDialogs, createAPasswordThroughTheThirdButton) {
  CEnterPasswordDlg dialog(store);
  dialog.show();
  EXPECT_EQ(dialog.windowTitle(), "No Password Set");
  EXPECT_FALSE(dialog.PasswordEdit()->isEnabled());
  QTimer::singleShot(0, [] {
    auto* change = qobject_cast<CChangePasswordDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(change, nullptr);
    EXPECT_EQ(change->windowTitle(), "Change Password");
    change->NewEdit()->setText("fresh");
    change->ConfirmEdit()->setText("fresh");
    QTest::mouseClick(Ok(*change), Qt::LeftButton);
  });
  QTest::mouseClick(dialog.ThirdButton(), Qt::LeftButton);
  EXPECT_EQ(GetSettingsPassword(store), "fresh");
  EXPECT_EQ(dialog.windowTitle(), "Enter Password");
  EXPECT_TRUE(dialog.PasswordEdit()->isEnabled());
  QTest::mouseClick(Ok(dialog), Qt::LeftButton);
  EXPECT_NE(dialog.result(), QDialog::Accepted);
}
