#pragma once
// A station with its main window as the widget tests drive it; the settings password is taken
// as given, and counted.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

#include "app/station.h"
#include "common/temp_dir.h"
#include "ui/main_window.h"
#include "ui/password_dialogs.h"
#include "ui/qt_host.h"

namespace brisko::test {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    station.Init(dir / "settings.db");
    station.Store().WriteProfileString("Settings", "m_TempPath", dir / "temp/");
    host.SetStation(&station);
    host.SetWindow(&window);
    ConfirmPasswordHook() = [this](QWidget*, SettingsStore&) {
      ++passwordPrompts;
      return true;
    };
  }
  void TearDown() override {
    host.SetWindow(nullptr);
    ConfirmPasswordHook() = nullptr;
  }

  static QStringList MenuTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* a : menu->actions())
      if (!a->isSeparator()) texts << a->text();
    return texts;
  }

  TempDir dir;
  QtHost host;
  Station station{host};
  MainWindow window{station};
  int passwordPrompts = 0;
};

}  // namespace brisko::test
