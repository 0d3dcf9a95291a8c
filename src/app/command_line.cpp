#include "app/command_line.h"

#include <charconv>
#include <filesystem>
#include <string>

#include "app/action_commands.h"
#include "app/status_page.h"
#include "engine/printing/paper_count.h"

#ifndef BRISKO_DOC_DIR
#define BRISKO_DOC_DIR "/usr/share/doc/brisko-workflow"
#endif

namespace brisko {

namespace {

// Options that take a value, as "--name VALUE" or "--name=VALUE".
bool IsValueOption(const std::string& name) {
  return name == "--store" || name == "--command" || name == "--barcode" || name == "--paper-loaded" ||
         name == "--backup" || name == "--restore" || name == "--plt-info" || name == "--status-page";
}

bool SetValue(CommandLine& cl, const std::string& name, const std::string& value) {
  if (name == "--store") {
    if (value.empty()) {
      cl.error = "--store needs a file path";
      return false;
    }
    cl.store = value;
  } else if (name == "--command") {
    int n = 0;
    const char* end = value.data() + value.size();
    auto [p, ec] = std::from_chars(value.data(), end, n);
    if (ec != std::errc() || p != end || n < 1 || n > 20) {
      cl.error = "--command needs a command number from 1 to 20, not '" + value + "'";
      return false;
    }
    cl.command = n;
  } else if (name == "--barcode") {
    if (value.empty()) {
      cl.error = "--barcode needs the scanned text";
      return false;
    }
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      cl.error = "--barcode text must be one line";
      return false;
    }
    cl.barcode = value;
  } else if (name == "--paper-loaded") {
    if (!ParsePaperLoad(value)) {
      cl.error =
          "--paper-loaded needs COUNT, QUEUE or QUEUE:COUNT (COUNT 0 to 100000, or off), not '" + value + "'";
      return false;
    }
    cl.paperLoaded = value;
  } else if (name == "--backup" || name == "--restore") {
    if (value.empty()) {
      cl.error = name + " needs a file path";
      return false;
    }
    (name == "--backup" ? cl.backupFile : cl.restoreFile) = value;
  } else if (name == "--plt-info") {
    if (value.empty()) {
      cl.error = "--plt-info needs an album file";
      return false;
    }
    cl.pltInfo = value;
  } else if (name == "--status-page") {
    std::string address;
    int port = 0;
    if (!ParseStatusPageOption(value, address, port)) {
      cl.error =
          "--status-page needs [ADDRESS:]PORT with a numeric address and a port from 0 to 65535, not '" +
          value + "'";
      return false;
    }
    if (!address.empty()) cl.statusPageAddress = address;
    cl.statusPagePort = port;
  }
  return true;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string name = arg;
    std::optional<std::string> value;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (arg == "actions" && !cl.actions) {
      // Everything after it is the request's, but for --store, which may come last.
      cl.actions = true;
      for (++i; i < args.size(); ++i) {
        if (args[i] == "--store" && i + 1 < args.size()) {
          if (!SetValue(cl, "--store", args[++i])) return cl;
        } else if (args[i].rfind("--store=", 0) == 0) {
          if (!SetValue(cl, "--store", args[i].substr(8))) return cl;
        } else {
          cl.actionsArgs.push_back(args[i]);
        }
      }
      if (std::string why = CheckActionsArguments(cl.actionsArgs); !why.empty()) {
        cl.error = why;
        return cl;
      }
      break;
    }
    if (name == "--plt-render") {
      if (value || i + 3 >= args.size() || args[i + 1].empty() || args[i + 2].empty() ||
          args[i + 3].empty()) {
        cl.error = "--plt-render needs ALBUM.plt, PHOTO and OUTDIR";
        return cl;
      }
      cl.pltRender = {args[i + 1], args[i + 2], args[i + 3]};
      i += 3;
      continue;
    }
    if (name == "--plt-pack" || name == "--plt-unpack") {
      // Two values: "--plt-pack SOURCE OUT".
      if (value || i + 2 >= args.size() || args[i + 1].empty() || args[i + 2].empty()) {
        cl.error =
            name + (name == "--plt-pack" ? " needs SOURCE.xml and OUT.plt" : " needs ALBUM.plt and DIR");
        return cl;
      }
      (name == "--plt-pack" ? cl.pltPack : cl.pltUnpack) = {args[i + 1], args[i + 2]};
      i += 2;
      continue;
    }
    if (IsValueOption(name)) {
      if (!value) {
        if (i + 1 >= args.size()) {
          cl.error = name + " needs a value";
          return cl;
        }
        value = args[++i];
      }
      if (!SetValue(cl, name, *value)) return cl;
      continue;
    }
    if (value) {
      cl.error = "option " + name + " takes no value";
      return cl;
    }
    if (arg == "--headless") {
      cl.headless = true;
    } else if (arg == "--run-once") {
      cl.runOnce = true;
    } else if (arg == "--version") {
      cl.version = true;
    } else if (arg == "--help" || arg == "-h") {
      cl.help = true;
    } else {
      cl.error = "unknown option '" + arg + "'";
      return cl;
    }
  }
  int oneShots = int(cl.runOnce) + int(bool(cl.command)) + int(bool(cl.barcode)) + int(bool(cl.paperLoaded)) +
                 int(bool(cl.backupFile)) + int(bool(cl.restoreFile)) + int(cl.actions);
  if (oneShots > 1)
    cl.error =
        "use only one of --run-once, --command, --barcode, --paper-loaded, --backup, --restore and actions";
  if (cl.actions && cl.headless) cl.error = "actions runs without --headless";
  const int tools = int(bool(cl.pltInfo)) + int(!cl.pltPack.empty()) + int(!cl.pltUnpack.empty()) +
                    int(!cl.pltRender.empty());
  if (tools > 1 || (tools == 1 && (oneShots > 0 || cl.headless)))
    cl.error = "use --plt-info, --plt-pack, --plt-unpack or --plt-render alone";
  return cl;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return ParseCommandLine(args);
}

namespace {

// The installed docs sit beside the program (PREFIX/bin and PREFIX/share/doc), whatever prefix
// the package chose; a program run from a build folder inside the source tree names the source
// tree's own files; else the configured folder.
struct DocPaths {
  std::string readme, guide;
};

DocPaths FindDocs() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto dir = exe.parent_path().parent_path() / "share/doc/brisko-workflow";
    if (std::filesystem::exists(dir / "README.md", ec))
      return {(dir / "README.md").lexically_normal().string(),
              (dir / "guide/index.html").lexically_normal().string()};
    std::filesystem::path up = exe.parent_path();
    for (int level = 0; level < 4 && up.has_parent_path() && up != up.root_path(); ++level) {
      up = up.parent_path();
      if (std::filesystem::exists(up / "README.md", ec) &&
          std::filesystem::exists(up / "docs/guide/index.html", ec))
        return {(up / "README.md").string(), (up / "docs/guide/index.html").string()};
    }
  }
  return {std::string(BRISKO_DOC_DIR) + "/README.md", std::string(BRISKO_DOC_DIR) + "/guide/index.html"};
}

}  // namespace

const char* CommandLineHelp() {
  const char* const options =
      "Usage: brisko-workflow [OPTION]...\n"
      "Brisko Event File Workflow: runs the configured file actions on their schedules.\n"
      "Without options it opens the window, or runs headless where no display exists.\n"
      "Action types: Delete Files, Move Files, Copy Files, Move Files from Media, Delete\n"
      "Subfolders, Move Subfolders, Copy Subfolders, Create Image with PLT, Print Files\n"
      "(each file printed once on a CUPS queue, then moved to the destination folder).\n"
      "Move Files, Copy Files and Move Files from Media may \"Keep RAW+JPEG pairs and\n"
      "sidecars together\": the files of a shot (IMG_1.JPG, IMG_1.CR2, IMG_1.xmp) move\n"
      "as one and get one new name.\n"
      "\n"
      "  --headless        run the station without a window; action log lines go to\n"
      "                    stdout; SIGINT or SIGTERM exits as \"Exit\" does (Shutdown\n"
      "                    actions run, actions and counters are saved)\n"
      "  --store PATH      use the settings store file PATH (default: $BRISKO_STORE,\n"
      "                    else $XDG_CONFIG_HOME/brisko/settings.db)\n"
      "  --run-once        make one Run Once pass over the actions, save, and exit\n"
      "  --command N       run the On Command actions of command N (1 to 20)\n"
      "  --barcode TEXT    take TEXT as a scanned barcode and run the Barcode Scan actions\n"
      "  --paper-loaded [QUEUE:]COUNT\n"
      "                    paper was loaded: COUNT prints left on printer QUEUE from now\n"
      "                    on (QUEUE alone: as many as last time; no QUEUE: the only\n"
      "                    printer of the Print Files actions; COUNT off: not counted)\n"
      "  --backup FILE     save the whole configuration to FILE (mode 0600) and exit\n"
      "  --restore FILE    restore the configuration saved in FILE and exit\n"
      "  --plt-info ALBUM.plt\n"
      "                    print the album's templates: name, design size, holes,\n"
      "                    captions and the images each holds\n"
      "  --plt-pack SOURCE.xml OUT.plt\n"
      "                    build an album from a source document whose IMAGEOFFSET\n"
      "                    elements name image files (see the README)\n"
      "  --plt-unpack ALBUM.plt DIR\n"
      "                    write DIR/album.xml and the album's images into the empty\n"
      "                    or new folder DIR\n"
      "  --plt-render ALBUM.plt PHOTO OUTDIR\n"
      "                    render PHOTO into every template of the album as the Create\n"
      "                    Image with PLT action does, write the pictures into OUTDIR\n"
      "                    and print their paths (PHOTO is left as it is)\n"
      "  --status-page [ADDRESS:]PORT\n"
      "                    serve the read-only status page for this run on PORT (0: a\n"
      "                    free one) at ADDRESS (default: the stored one, else\n"
      "                    127.0.0.1); the log says \"Status page at URL\". On an\n"
      "                    address that is not loopback (0.0.0.0: every network) each\n"
      "                    request needs the key: the logged URL carries it as\n"
      "                    ?key=KEY, made once and kept in the store\n"
      "  actions list | show N | add TYPE NAME [FIELD=VALUE]... | set N FIELD=VALUE...\n"
      "        | enable N | disable N | move N TO | remove N\n"
      "                    list, show or change the actions (N counts from 1): on the\n"
      "                    running station (from the action's next pass on), else in\n"
      "                    the store; FIELD is a stored value name that 'actions show N'\n"
      "                    lists with its meaning, TYPE a type number or name; values are\n"
      "                    checked as the window's Modify Action checks them\n"
      "  --version         print the version and exit\n"
      "  --help            print this help and exit\n"
      "\n"
      "--command, --barcode and --paper-loaded are handed to the station already\n"
      "running on the same store when there is one; otherwise they run in this\n"
      "process, which then exits. --run-once, --backup and --restore are refused\n"
      "while a station runs on the same store. Only one of --run-once, --command,\n"
      "--barcode, --paper-loaded, --backup and --restore may be given.\n"
      "Only one station runs per user and store: a second start brings the first\n"
      "window forward and ends.\n"
      "\n"
      "Exit status: 0 done, 1 failure, 2 bad command line.\n";
  static const DocPaths docs = FindDocs();
  static const std::string text = std::string(options) + "\nThe README and the user guide: " + docs.readme +
                                  "\nand " + docs.guide + " (also under Help in the window).\n";
  return text.c_str();
}

}  // namespace brisko
