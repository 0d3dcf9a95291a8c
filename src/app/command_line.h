#pragma once
// The program's options. Parsing is pure so it can be tested and fuzzed; main() acts on it.
#include <optional>
#include <string>
#include <vector>

namespace brisko {

struct CommandLine {
  bool headless = false;
  bool runOnce = false;
  bool version = false;
  bool help = false;
  std::optional<std::string> store;
  std::optional<int> command;  // 1 to 20, as the "Commands" menu numbers them
  std::optional<std::string> barcode;
  std::optional<std::string> paperLoaded;  // --paper-loaded [QUEUE:]COUNT, as ParsePaperLoad reads it
  std::optional<std::string> backupFile;
  std::optional<std::string> restoreFile;
  // Album tools: --plt-info ALBUM, --plt-pack SOURCE OUT, --plt-unpack ALBUM DIR.
  std::optional<std::string> pltInfo;
  std::vector<std::string> pltPack;    // source document, album to write
  std::vector<std::string> pltUnpack;  // album, folder to write into
  std::vector<std::string> pltRender;  // album, photo, folder to write into
  // --status-page [ADDRESS:]PORT: the status page for this run only.
  std::optional<std::string> statusPageAddress;
  std::optional<int> statusPagePort;
  // "actions VERB ...": the words after "actions" (see app/action_commands.h).
  bool actions = false;
  std::vector<std::string> actionsArgs;

  // Set when the arguments cannot be used; main prints it and ends with exit code 2.
  std::string error;

  // A request that does one piece of work and ends instead of running the station.
  bool IsOneShot() const {
    return runOnce || command || barcode || paperLoaded || backupFile || restoreFile || actions;
  }
  // Works on album files only: needs neither the settings store nor the running station.
  bool IsAlbumTool() const { return pltInfo || !pltPack.empty() || !pltUnpack.empty() || !pltRender.empty(); }
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);  // args without argv[0]
CommandLine ParseCommandLine(int argc, const char* const* argv);

const char* CommandLineHelp();

}  // namespace brisko
