#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "ui/command_names_dialog.h"
#include "ui/id_txt_dialog.h"
#include "ui/scanner_dialog.h"

using namespace brisko;

TEST(TheIdTxtDialog, showsCloseUntilEditAndWritesTheBoxesOnlyOnOk) {
  CIdTxt record;
  record.m_strCardID = "C1";
  // The form's states are tested with the form; here, that the dialog shows and follows them.
  IdTxtDialog dialog(record);
  dialog.show();
  EXPECT_EQ(dialog.OkButton()->text(), "Close");
  EXPECT_TRUE(dialog.Box(2)->isReadOnly());
  EXPECT_EQ(dialog.Box(2)->text(), "C1");
  QTest::mouseClick(dialog.EditButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog.CancelButton()->isHidden());
  EXPECT_FALSE(dialog.Box(2)->isReadOnly());
  dialog.Box(2)->setText(QString::fromUtf8("Karte \xc3\xa9"));
  QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(record.m_strCardID, "Karte \xc3\xa9");
}

TEST(TheScannerDialog, closesOnExitInAnyCaseAndPassesOtherTextsOn) {
  std::vector<std::string> parsed;
  ScannerDialog dialog([&](const std::string& text) { parsed.push_back(text); });
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
  dialog.show();
  QTest::keyClicks(dialog.Box(), "1Anna");
  QTest::keyClick(dialog.Box(), Qt::Key_Return);
  EXPECT_EQ(parsed, std::vector<std::string>{"1Anna"});
  EXPECT_EQ(dialog.Box()->text(), "");
  EXPECT_TRUE(dialog.isVisible());
  dialog.Box()->setText("ExIt");
  QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(parsed.size(), 1u);
}

// The operator texts' dialog is driven from the actions list editor's test.
TEST(TheCommandNamesDialog, returnsTheNamesAsTheBoxesHoldThem) {
  CommandNameArray names;
  for (int i = 0; i < kCommandCount; ++i) names[static_cast<size_t>(i)] = DefaultCommandName(i);
  CommandNamesDialog commands(names);
  commands.Box(0)->setText("");
  commands.Box(19)->setText("Print");
  CommandNameArray out = commands.Names();
  EXPECT_EQ(out[0], "");
  EXPECT_EQ(out[19], "Print");
  EXPECT_EQ(out[1], "Command 2");
}
