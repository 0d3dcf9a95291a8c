#pragma once
// The program's start, shared by the window build and the build without Qt: options, the
// single-instance check, one-shot runs and the headless station. The window is started
// through `WindowEntry` where it exists.
#include <functional>
#include <string>

#include "app/status_page.h"

namespace brisko {

struct WindowStart {
  std::string storePath;
  std::string socketPath;  // where to listen for later starts (the lock is already held)
  StatusPageOptions statusPage;
  bool firstStart = false;  // a new store in the default place: give it its first action
};
using WindowEntry = std::function<int(const WindowStart& start, int& argc, char** argv)>;

struct CommandLine;
// Whether this start shows the window: a display, and nothing asked for that runs without one.
bool WantsWindow(const CommandLine& cl);

// `statusPage` starts the status page where the program has one.
int StationMain(int argc, char** argv, const WindowEntry& window, const StatusPageStarter& statusPage = {});

class Station;
// Opens the station's store for a long-running start (window or headless), creating a missing
// one; returns the line for the station's log ("Created a new settings store at PATH" or why it
// failed). A failure is also told on stderr, since the station then runs on defaults.
std::string OpenStation(Station& station, const std::string& storePath);

// Pieces of StationMain, public for tests.
int RunHeadlessStation(const std::string& storePath, const std::string& socketPath,
                       const StatusPageOptions& statusPage = {}, bool firstStart = false);
// --run-once, --command and --barcode when no station is running: do it here, save, end.
int RunOneShot(const CommandLine& cl, const std::string& storePath);
// --plt-info, --plt-pack, --plt-unpack.
int RunAlbumTool(const CommandLine& cl);

}  // namespace brisko
