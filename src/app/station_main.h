#pragma once
// The program's start, shared by the window build and the build without Qt: options, the
// single-instance check, one-shot runs and the headless station. The window is started
// through `WindowEntry` where it exists.
#include <functional>
#include <string>

namespace brisko {

struct CommandLine;

struct WindowStart {
  std::string storePath;
  std::string socketPath;  // where to listen for later starts (the lock is already held)
};
using WindowEntry = std::function<int(const WindowStart& start, int& argc, char** argv)>;

int StationMain(int argc, char** argv, const WindowEntry& window);

// Pieces of StationMain, public for tests.
int RunHeadlessStation(const std::string& storePath, const std::string& socketPath);
// --run-once, --command and --barcode when no station is running: do it here, save, end.
int RunOneShot(const CommandLine& cl, const std::string& storePath);
// --plt-info, --plt-pack, --plt-unpack.
int RunAlbumTool(const CommandLine& cl);

}  // namespace brisko
