// The window host's notice for failures that must not stop a run.
#include "ui/qt_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

namespace brisko {
namespace {

TEST(TheWindowHost, ShowsLogFailuresInOneNoticeThatNeverBlocks) {
  QtHost host;
  // Returning from here at all shows that nothing waited for the operator.
  host.ShowNotice("Cannot create log file folder", "/mnt/gone/logs/");
  host.ShowNotice("Cannot open log file", "/mnt/gone/logs/a.log");
  ASSERT_NE(host.Notice(), nullptr);
  EXPECT_TRUE(host.Notice()->isVisible());
  EXPECT_FALSE(host.Notice()->isModal());
  EXPECT_EQ(host.Notice()->windowTitle(), "Cannot open log file");
  EXPECT_EQ(host.Notice()->text(), "/mnt/gone/logs/a.log");
  int boxes = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) boxes += qobject_cast<QMessageBox*>(w) && w->isVisible();
  EXPECT_EQ(boxes, 1);
  host.Notice()->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(host.Notice(), nullptr);
}

// A shutdown signal that arrives while "Exit Workflow ?" waits answers it.
TEST(TheWindowHost, LetsASignalAnswerAnOpenExitQuestion) {
  QtHost host;
  host.AnswerExitDialogWithExit();  // none open: nothing happens
  QTimer::singleShot(0, &host, [&] { host.AnswerExitDialogWithExit(); });
  EXPECT_EQ(host.ShowExitDialog(), ExitChoice::Exit);
}

}  // namespace
}  // namespace brisko
