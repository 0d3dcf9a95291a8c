#include "app/station_main.h"

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/headless_host.h"
#include "app/instance_channel.h"
#include "app/station.h"
#include "layout/album_tools.h"
#include "layout/template_album.h"
#include "layout/template_render.h"
#include "scheduler/backup_restore.h"

namespace brisko {

namespace {

constexpr int kHandOverTimeoutMs = 5000;

bool HaveDisplay() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

std::string OpenStation(Station& station, const std::string& storePath) {
  std::string report;
  if (!station.Init(storePath, &report)) {
    std::fprintf(stderr, "brisko-workflow: cannot open the settings store %s%s%s; running on defaults\n",
                 storePath.c_str(), report.empty() ? "" : ": ", report.c_str());
  } else if (!report.empty()) {
    std::fprintf(stderr, "brisko-workflow: %s\n", report.c_str());
  }
  return report;
}

// --backup FILE / --restore FILE: the menu commands without dialogs. Nothing is loaded or
// saved around them, so a restore is not overwritten by the settings in memory.
int BackupOrRestore(SettingsStore& store, const CommandLine& cl) {
  if (cl.backupFile) {
    std::string reason;
    if (BackupSettings(store, *cl.backupFile, store.RootPath(), {}, &reason)) return 0;
    std::fprintf(stderr, "brisko-workflow: %s: %s\n", kBackupFailedMessage, reason.c_str());
    return 1;
  }
  const bool ok = RestoreSettings(store, *cl.restoreFile, [](const std::string& text) {
    std::fprintf(stderr, "brisko-workflow: %s\n", text.c_str());
  });
  if (!ok) {
    std::fprintf(stderr, "brisko-workflow: %s\n", kRestoreFailedMessage);
    return 1;
  }
  std::printf("%s\n", kRestoreSucceededMessage);
  return 0;
}

}  // namespace

int RunAlbumTool(const CommandLine& cl) {
  std::string error;
  if (cl.pltInfo) {
    TemplateAlbum album;
    std::string message;
    if (!album.Load(*cl.pltInfo, &message)) {
      std::fprintf(stderr, "brisko-workflow: %s\n",
                   message.empty() ? (*cl.pltInfo + ": cannot load the album").c_str() : message.c_str());
      return 1;
    }
    std::fputs(DescribeAlbum(album).c_str(), stdout);
    return 0;
  }
  if (!cl.pltRender.empty()) {
    std::vector<std::string> outputs;
    const bool ok = RenderAlbumForPhoto(cl.pltRender[0], cl.pltRender[1], cl.pltRender[2],
                                        TemplateRenderState{}, outputs, &error);
    for (const std::string& path : outputs) std::printf("%s\n", path.c_str());
    if (!ok) std::fprintf(stderr, "brisko-workflow: %s\n", error.c_str());
    return ok ? 0 : 1;
  }
  const bool ok = !cl.pltPack.empty() ? PackAlbum(cl.pltPack[0], cl.pltPack[1], &error)
                                      : UnpackAlbum(cl.pltUnpack[0], cl.pltUnpack[1], &error);
  if (!ok) {
    std::fprintf(stderr, "brisko-workflow: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int RunHeadlessStation(const std::string& storePath, const std::string& socketPath,
                       const StatusPageOptions& statusPage) {
  HeadlessHost host(stdout);
  InstanceServer server;
  std::string error;
  if (!socketPath.empty() && !server.Listen(socketPath, &error))
    std::fprintf(stderr, "brisko-workflow: %s; later starts cannot reach this station\n", error.c_str());
  Station station(host);
  station.SetStatusPageOptions(statusPage);
  host.SetStation(&station);
  host.SetInstanceServer(&server);
  InstallShutdownSignals();
  std::string report = OpenStation(station, storePath);
  if (!report.empty()) station.AddToLog(report);
  station.Open();
  host.Run();
  return 0;
}

int RunOneShot(const CommandLine& cl, const std::string& storePath) {
  HeadlessHost host(stdout);
  Station station(host);
  host.SetStation(&station);
  std::string report;
  if (!station.Init(storePath, &report)) {
    std::fprintf(stderr, "brisko-workflow: cannot open the settings store %s%s%s\n", storePath.c_str(),
                 report.empty() ? "" : ": ", report.c_str());
    return 1;
  }
  if (!report.empty()) station.AddToLog(report);
  if (cl.backupFile || cl.restoreFile) return BackupOrRestore(station.Store(), cl);
  // Like the window at start, but without the loop: the work below is the only run.
  station.LoadSettings();
  station.RecoverInterruptedMoves();
  if (cl.runOnce) {
    station.SetRunContinuously(false);
    station.RunOnce();
  } else if (cl.command) {
    station.SetRunContinuously(false);
    station.ExecuteCommand(*cl.command - 1);
  } else if (cl.barcode) {
    station.SetRunContinuously(false);
    station.OnBarcodeText(*cl.barcode);
  }
  station.SaveAtExit(false);
  station.ClearActions();
  return 0;
}

int StationMain(int argc, char** argv, const WindowEntry& window, const StatusPageStarter& statusPage) {
  CommandLine cl = ParseCommandLine(argc, argv);
  if (!cl.error.empty()) {
    std::fprintf(stderr, "brisko-workflow: %s\nTry 'brisko-workflow --help' for the options.\n",
                 cl.error.c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(CommandLineHelp(), stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("%s %s\n", kProductName, BRISKO_VERSION);
    return 0;
  }
  if (cl.IsAlbumTool()) return RunAlbumTool(cl);

  const std::string storePath = cl.store ? *cl.store : SettingsStore::DefaultPath();
  const InstancePaths paths = InstancePathsForStore(storePath);
  InstanceLock lock;
  std::string error;
  switch (lock.Acquire(paths.lock, &error)) {
    case InstanceLock::Failed:
      std::fprintf(stderr, "brisko-workflow: %s\n", error.c_str());
      return 1;
    case InstanceLock::HeldByOther: {
      if (cl.runOnce || cl.backupFile || cl.restoreFile) {
        std::fprintf(stderr, "brisko-workflow: a station is already running on %s; stop it first\n",
                     storePath.c_str());
        return 1;
      }
      InstanceRequest request;
      if (cl.command) {
        request.kind = InstanceRequest::Command;
        request.command = *cl.command;
      } else if (cl.barcode) {
        request.kind = InstanceRequest::Barcode;
        request.text = *cl.barcode;
      }
      if (!SendInstanceRequest(paths.socket, request, kHandOverTimeoutMs, &error)) {
        std::fprintf(stderr, "brisko-workflow: a station is already running on %s, but %s\n",
                     storePath.c_str(), error.c_str());
        return 1;
      }
      if (request.kind == InstanceRequest::Raise)
        std::fprintf(stderr, "brisko-workflow: already running; brought the running station forward\n");
      return 0;
    }
    case InstanceLock::Acquired:
      break;
  }

  if (cl.IsOneShot()) return RunOneShot(cl, storePath);
  const StatusPageOptions page{statusPage, cl.statusPageAddress, cl.statusPagePort};
  if (!cl.headless && window) {
    if (HaveDisplay()) return window(WindowStart{storePath, paths.socket, page}, argc, argv);
    std::fprintf(stderr, "brisko-workflow: no display found; running headless\n");
  }
  return RunHeadlessStation(storePath, paths.socket, page);
}

}  // namespace brisko
