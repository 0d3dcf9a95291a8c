#include "app/station_main.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/action_commands.h"
#include "app/command_line.h"
#include "app/first_start.h"
#include "app/headless_host.h"
#include "app/instance_channel.h"
#include "app/station.h"
#include "engine/printing/paper_count.h"
#include "layout/album_tools.h"
#include "layout/template_album.h"
#include "layout/template_render.h"
#include "scheduler/backup_restore.h"
#include "support/heap.h"

namespace brisko {

namespace {

constexpr int kHandOverTimeoutMs = 5000;
// A running station answers an actions request between two files of a run.
constexpr int kActionsTimeoutMs = 30000;

// Only the long-running station, a restore and adding an action may start a store; the other
// one-shot runs need the configuration they were pointed at.
bool MayCreateStore(const CommandLine& cl) {
  if (cl.actions) return !cl.actionsArgs.empty() && cl.actionsArgs[0] == "add";
  return !(cl.runOnce || cl.command || cl.barcode || cl.paperLoaded || cl.backupFile);
}

int PrintActionsReply(int exitCode, const std::string& out, const std::string& err) {
  std::fputs(out.c_str(), stdout);
  if (!err.empty()) std::fprintf(stderr, "brisko-workflow: %s", err.c_str());
  return exitCode;
}

bool HaveDisplay() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
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

struct ActionCount {
  int enabled = 0;
  int disabled = 0;
};

// The listed actions `wanted` takes, enabled and disabled apart.
ActionCount CountActions(const Station& station, const std::function<bool(const Action&)>& wanted) {
  ActionCount count;
  for (const auto& action : station.Actions()) {
    if (wanted(*action)) ++(action->m_bEnabled ? count.enabled : count.disabled);
  }
  return count;
}

// A request that will run nothing says so rather than ending in silence.
void SayWhenNothingRuns(Station& station, const CommandLine& cl) {
  if (!cl.command && !cl.barcode) return;
  const int index = cl.command ? *cl.command - 1 : -1;
  const ActionCount count = CountActions(station, [&](const Action& a) {
    return cl.command ? a.m_iScheduleType == kScheduleOnCommand && a.m_iuCommandIndex == index
                      : a.m_iScheduleType == kScheduleBarcodeScan;
  });
  if (count.enabled > 0) return;
  station.AddToLog(cl.command ? "No action runs on command " + std::to_string(*cl.command)
                              : std::string("No Barcode Scan action"));
  if (count.disabled > 0)
    station.AddToLog("  Reason: " + std::to_string(count.disabled) + " such action(s) are disabled");
}

// A station with nothing to do says so once at start, with the ways to give it work.
void SayWhenNoActionIsEnabled(Station& station) {
  const ActionCount count = CountActions(station, [](const Action&) { return true; });
  if (count.enabled > 0) return;
  station.AddToLog(count.disabled > 0 ? "No enabled actions: the station runs nothing until one is enabled"
                                      : "No actions: the station runs nothing until some are added");
  station.AddToLog(
      "  Add or enable them in the window (Settings > Configure actions...), from a shell with "
      "brisko-workflow actions add, or restore a backup with --restore FILE");
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

std::string OpenStation(Station& station, const std::string& storePath) {
  std::string report;
  // A new store is told once, by the log line the caller writes; only a failure goes to stderr too.
  if (!station.Init(storePath, &report))
    std::fprintf(stderr, "brisko-workflow: cannot open the settings store %s%s%s; running on defaults\n",
                 storePath.c_str(), report.empty() ? "" : ": ", report.c_str());
  return report;
}

int RunHeadlessStation(const std::string& storePath, const std::string& socketPath,
                       const StatusPageOptions& statusPage, bool firstStart) {
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
  if (firstStart && station.Store().IsOpen()) {
    for (const std::string& line : SetUpFirstStart(station)) station.AddToLog(line);
  }
  station.Open();
  SayWhenNoActionIsEnabled(station);
  host.Run();
  return 0;
}

int RunOneShot(const CommandLine& cl, const std::string& storePath) {
  HeadlessHost host(stdout);
  Station station(host);
  host.SetStation(&station);
  std::string report;
  if (!station.Init(storePath, &report,
                    MayCreateStore(cl) ? SettingsStore::Creation::Allow : SettingsStore::Creation::Refuse)) {
    std::fprintf(stderr, "brisko-workflow: cannot open the settings store %s%s%s\n", storePath.c_str(),
                 report.empty() ? "" : ": ", report.c_str());
    return 1;
  }
  if (!report.empty()) station.AddToLog(report);
  // Said before whatever follows ("Created a new settings store" before "restored").
  host.FlushOutput();
  if (cl.backupFile || cl.restoreFile) return BackupOrRestore(station.Store(), cl);
  if (cl.actions) {
    station.LoadSettings();
    const ActionsReply reply = RunActionsCommand(station, cl.actionsArgs, false);
    station.ClearActions();
    host.FlushOutput();
    return PrintActionsReply(reply.exitCode, reply.out, reply.err);
  }
  // Like the window at start, but without the loop: the work below is the only run.
  station.LoadSettings();
  station.RecoverInterruptedMoves();
  SayWhenNothingRuns(station, cl);
  if (cl.runOnce) {
    station.SetRunContinuously(false);
    station.RunOnce();
  } else if (cl.command) {
    station.SetRunContinuously(false);
    station.ExecuteCommand(*cl.command - 1);
  } else if (cl.barcode) {
    station.SetRunContinuously(false);
    station.OnBarcodeText(*cl.barcode);
  } else if (cl.paperLoaded) {
    const bool done = station.PaperLoaded(*ParsePaperLoad(*cl.paperLoaded));
    station.ClearActions();
    return done ? 0 : 1;
  }
  station.SaveAtExit(false);
  station.ClearActions();
  return 0;
}

bool WantsWindow(const CommandLine& cl) {
  return cl.error.empty() && !cl.help && !cl.version && !cl.IsAlbumTool() && !cl.IsOneShot() &&
         !cl.headless && HaveDisplay();
}

int StationMain(int argc, char** argv, const WindowEntry& window, const StatusPageStarter& statusPage) {
  KeepHeapForPhotos();
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
  // A typo in --store must not become a new empty store (nor, for --backup, an empty backup),
  // and a wrong file must never be taken for one.
  const SettingsStore::FileKind kind = SettingsStore::ProbeFile(storePath);
  if (kind == SettingsStore::FileKind::NotDatabase) {
    std::fprintf(stderr, "brisko-workflow: %s\n", SettingsStore::NotDatabaseMessage(storePath).c_str());
    return 1;
  }
  if (kind == SettingsStore::FileKind::Missing && !MayCreateStore(cl)) {
    std::fprintf(stderr, "brisko-workflow: %s\n", SettingsStore::NoStoreMessage(storePath).c_str());
    return 1;
  }
  // The lock lives beside the store, whose folder may not exist yet on a first start.
  if (kind == SettingsStore::FileKind::Missing) SettingsStore::MakeParentFolders(storePath);
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
      if (cl.actions) {
        std::string socket = ReadLockFileSocket(paths.lock);
        if (socket.empty()) socket = paths.socket;
        InstanceAnswer answer;
        if (!SendActionsRequest(socket, cl.actionsArgs, kActionsTimeoutMs, answer, &error)) {
          std::fprintf(stderr, "brisko-workflow: a station is already running on %s, but %s\n",
                       storePath.c_str(), error.c_str());
          return 1;
        }
        return PrintActionsReply(answer.exitCode, answer.out, answer.err);
      }
      if (cl.command) {
        request.kind = InstanceRequest::Command;
        request.command = *cl.command;
      } else if (cl.barcode) {
        request.kind = InstanceRequest::Barcode;
        request.text = *cl.barcode;
      } else if (cl.paperLoaded) {
        request.kind = InstanceRequest::PaperLoaded;
        request.text = *cl.paperLoaded;
      }
      // The running station may have been started with another runtime folder.
      std::string socket = ReadLockFileSocket(paths.lock);
      if (socket.empty()) socket = paths.socket;
      PaperAnswer answer;
      answer.ok = false;
      const bool sent = SendInstanceRequest(socket, request, kHandOverTimeoutMs, &error, &answer);
      // What the station did or why not, in its own words.
      if (!answer.text.empty()) std::fprintf(sent ? stdout : stderr, "%s\n", answer.text.c_str());
      if (!sent) {
        if (answer.text.empty())
          std::fprintf(stderr, "brisko-workflow: a station is already running on %s, but %s\n",
                       storePath.c_str(), error.c_str());
        return 1;
      }
      if (request.kind == InstanceRequest::Raise)
        std::fprintf(stderr, "brisko-workflow: already running; brought the running station forward\n");
      return 0;
    }
    case InstanceLock::Acquired:
      lock.Publish(paths.socket);
      break;
  }

  if (cl.IsOneShot()) return RunOneShot(cl, storePath);
  const StatusPageOptions page{statusPage, cl.statusPageAddress, cl.statusPagePort};
  // Only a store in the user's own default place: one named by --store or BRISKO_STORE (scripts,
  // tests) stays as it is made, empty.
  const char* named = std::getenv("BRISKO_STORE");
  const bool firstStart = kind == SettingsStore::FileKind::Missing && !cl.store && !(named && *named);
  if (!cl.headless && window) {
    if (WantsWindow(cl)) return window(WindowStart{storePath, paths.socket, page, firstStart}, argc, argv);
    std::fprintf(stderr, "brisko-workflow: no display found; running headless\n");
  }
  return RunHeadlessStation(storePath, paths.socket, page, firstStart);
}

}  // namespace brisko
