#include "ui/window_main.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <cstdio>

#include "app/first_start.h"
#include "app/headless_host.h"
#include "app/station.h"
#include "scheduler/tone_sink.h"
#include "ui/accessible_names.h"
#include "ui/instance_listener.h"
#include "ui/main_window.h"
#include "ui/qt_host.h"

namespace brisko {

int RunWindowStation(const WindowStart& start, int& argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("BriskoFileWorkflow");
  QApplication::setOrganizationName("Brisko Pty Ltd");
  // Lets Wayland desktops match the window to the installed desktop entry and its icon.
  QGuiApplication::setDesktopFileName("com.brisko.EventFileWorkflow");
  QApplication::setWindowIcon(QIcon::fromTheme("com.brisko.EventFileWorkflow"));
  // The exit sequence ends the program, not the last window closing.
  QApplication::setQuitOnLastWindowClosed(false);
  InstallAccessibleNaming(app);

  QtHost host;
  Station station(host);
  station.SetStatusPageOptions(start.statusPage);
  host.SetStation(&station);
  const std::string report = OpenStation(station, start.storePath);
  // A log folder that cannot be written is told without blocking the run that logged.
  station.GetLogger().SetErrorCallback(
      [&host](const std::string& caption, const std::string& text) { host.ShowNotice(caption, text); });

  AudioToneSink tones([&station](const std::string& line) { station.AddToLog(line); });
  station.SetToneSink(&tones);
  MainWindow window(station);
  host.SetWindow(&window);

  InstanceListener listener(
      [&](const InstanceRequest& request) {
        if (request.kind != InstanceRequest::Raise) return HandleInstanceRequest(station, request);
        window.BringForward();
        return PaperAnswer{};
      },
      [&](const InstanceRequest& request) {
        InstanceAnswer answer = AnswerInstanceRequest(station, request);
        window.UpdateCommandMenu();
        return answer;
      });
  if (!listener.Listen(QString::fromStdString(start.socketPath)))
    std::fprintf(stderr, "brisko-workflow: cannot listen on %s: %s; later starts cannot reach this window\n",
                 start.socketPath.c_str(), listener.ErrorString().toLocal8Bit().constData());

  // SIGINT and SIGTERM (logout, system shutdown, kill) run the exit sequence without asking:
  // nobody may be there to answer, and the session kills a station that waits.
  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (InstallShutdownSignals()) {
    signalNotifier = std::make_unique<QSocketNotifier>(ShutdownSignalFd(), QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &window, [&] {
      if (!DrainShutdownSignals()) return;
      station.RequestShutdownWithoutAsking();
      host.AnswerExitDialogWithExit();
    });
  }

  window.show();
  if (!report.empty()) station.AddToLog(report);
  if (start.firstStart && station.Store().IsOpen()) {
    for (const std::string& line : SetUpFirstStart(station)) station.AddToLog(line);
  }
  station.Open();
  window.UpdateOptionalControls();
  window.UpdateCommandMenu();
  int rc = app.exec();
  // The window goes before the station: later log failures go to stderr.
  station.GetLogger().SetErrorCallback({});
  station.ClearActions();
  station.SetToneSink(nullptr);
  return rc;
}

}  // namespace brisko
