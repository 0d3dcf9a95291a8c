#include "app/command_line.h"

#include <gtest/gtest.h>

#include "app/action_commands.h"

namespace brisko {
namespace {

TEST(ACommandLine, ReadsEveryOptionInBothForms) {
  struct Row {
    std::vector<std::string> args;
    std::function<bool(const CommandLine&)> check;
  };
  const std::vector<Row> rows = {
      {{}, [](auto& c) { return !c.headless && !c.IsOneShot() && !c.store; }},
      {{"--headless"}, [](auto& c) { return c.headless; }},
      {{"--store", "/a b/s.db"}, [](auto& c) { return c.store == "/a b/s.db"; }},
      {{"--store=/x.db"}, [](auto& c) { return c.store == "/x.db"; }},
      {{"--run-once"}, [](auto& c) { return c.runOnce && c.IsOneShot(); }},
      {{"--command", "1"}, [](auto& c) { return c.command == 1; }},
      {{"--command=20"}, [](auto& c) { return c.command == 20; }},
      {{"--barcode", "P123|G4"}, [](auto& c) { return c.barcode == "P123|G4"; }},
      {{"--barcode=--headless"}, [](auto& c) { return c.barcode == "--headless" && !c.headless; }},
      {{"--paper-loaded", "Selphy:36"},
       [](auto& c) { return c.paperLoaded == "Selphy:36" && c.IsOneShot(); }},
      {{"--version"}, [](auto& c) { return c.version; }},
      {{"--help"}, [](auto& c) { return c.help; }},
      {{"-h"}, [](auto& c) { return c.help; }},
      {{"--backup", "b.xml"}, [](auto& c) { return c.backupFile == "b.xml" && c.IsOneShot(); }},
      {{"--restore", "r.xml"}, [](auto& c) { return c.restoreFile == "r.xml"; }},
      {{"--plt-info", "a.plt"},
       [](auto& c) { return c.pltInfo == "a.plt" && c.IsAlbumTool() && !c.IsOneShot(); }},
      {{"--plt-render", "a.plt", "p.jpg", "out"},
       [](auto& c) {
         return c.pltRender == std::vector<std::string>{"a.plt", "p.jpg", "out"} && c.IsAlbumTool();
       }},
      {{"--headless", "--store", "s.db", "--command", "3"},
       [](auto& c) { return c.headless && c.store == "s.db" && c.command == 3; }},
      // Everything after "actions" is its own, but for --store.
      {{"actions", "add", "Copy Files", "Cards in", "m_strName=--x", "--store", "s.db"},
       [](auto& c) {
         return c.actions && c.IsOneShot() && c.store == "s.db" &&
                c.actionsArgs == std::vector<std::string>{"add", "Copy Files", "Cards in", "m_strName=--x"};
       }},
  };
  for (const auto& row : rows) {
    CommandLine cl = ParseCommandLine(row.args);
    EXPECT_EQ(cl.error, "") << ::testing::PrintToString(row.args);
    EXPECT_TRUE(row.check(cl)) << ::testing::PrintToString(row.args);
  }
}

TEST(ACommandLine, RefusesWhatItCannotUseWithAMessage) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"run-once"}, "unknown option 'run-once'"},
      {{"--store"}, "--store needs a value"},
      {{"--store="}, "--store needs a file path"},
      {{"--command", "0"}, "--command needs a command number from 1 to 20, not '0'"},
      {{"--command", "21"}, "--command needs a command number from 1 to 20, not '21'"},
      {{"--command", "3x"}, "--command needs a command number from 1 to 20, not '3x'"},
      {{"--command", "99999999999999999999"},
       "--command needs a command number from 1 to 20, not '99999999999999999999'"},
      {{"--barcode", ""}, "--barcode needs the scanned text"},
      {{"--barcode", "a\nb"}, "--barcode text must be one line"},
      {{"--headless=1"}, "option --headless takes no value"},
      {{"--run-once", "--command", "2"},
       "use only one of --run-once, --command, --barcode, --paper-loaded, --backup, --restore and actions"},
      {{"--run-once", "actions", "list"},
       "use only one of --run-once, --command, --barcode, --paper-loaded, --backup, --restore and actions"},
      {{"actions", "list", "--headless"},
       "actions list: wrong number of values: " + std::string(ActionsUsage())},
      {{"actions", "set", "1", "m_strName"}, "actions set: 'm_strName' is not FIELD=VALUE"},
      {{"actions"}, "actions needs what to do: " + std::string(ActionsUsage())},
      {{"--paper-loaded", "Selphy:lots"},
       "--paper-loaded needs COUNT, QUEUE or QUEUE:COUNT (COUNT 0 to 100000, or off), not 'Selphy:lots'"},
      {{"--plt-pack", "s.xml"}, "--plt-pack needs SOURCE.xml and OUT.plt"},
      {{"--plt-unpack=a.plt", "d"}, "--plt-unpack needs ALBUM.plt and DIR"},
      {{"--plt-info", "a.plt", "--run-once"},
       "use --plt-info, --plt-pack, --plt-unpack or --plt-render alone"},
      {{"--plt-render", "a.plt", "p.jpg"}, "--plt-render needs ALBUM.plt, PHOTO and OUTDIR"},
  };
  for (const auto& [args, message] : rows) EXPECT_EQ(ParseCommandLine(args).error, message);
}

}  // namespace
}  // namespace brisko
