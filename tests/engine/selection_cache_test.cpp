// Passes that keep what they learnt must take exactly the files a full scan takes. Each row
// warms two Copy Files actions over the same hot folder (one keeping its selection, one
// scanning everything on every pass), changes something, and compares what the next pass
// of each copies.
#include "engine/runs/selection_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>

#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

constexpr std::time_t kNow = 1'700'000'000;
constexpr std::time_t kOld = kNow - 3600;

struct Station {
  std::string src, kept, scanned;  // the hot folder and the two actions' archives
  std::unique_ptr<Action> keeping, scanning;
  std::unique_ptr<FileHolder> holder;
  std::unique_ptr<SmallTmpfs> card;
};

class SelectionEquivalenceTest : public ::testing::Test {
 public:
  std::unique_ptr<Action> MakeAction(const std::string& to) {
    auto action = std::make_unique<Action>(host);
    action->m_strName = "copy";
    action->m_iType = kCopyFiles;
    action->m_strSourceFolder = s.src + "/";
    action->m_strDestFolder = to + "/";
    action->m_strFileSpec = "*.jpg";
    return action;
  }
  // The source names the pass of `action` copied.
  std::set<std::string> Pass(Action& action, bool scanEverything) {
    if (scanEverything) setenv("BRISKO_SCAN_EVERY_PASS", "1", 1);
    host.log.clear();
    RunPass(action);
    unsetenv("BRISKO_SCAN_EVERY_PASS");
    std::set<std::string> copied;
    for (const std::string& line : host.log) {
      const std::string lead = action.GetDescription() + " Copied file " + s.src + "/";
      if (line.rfind(lead, 0) == 0)
        copied.insert(line.substr(lead.size(), line.find(' ', lead.size()) - lead.size()));
    }
    return copied;
  }
  void BothArchives(const std::function<void(const std::string&)>& change) {
    change(s.kept);
    change(s.scanned);
  }

  FakeHost host;
  Station s;
};

TEST_F(SelectionEquivalenceTest, KeptPassesTakeWhatAFullScanTakes) {
  struct Row {
    const char* what;
    std::function<void(SelectionEquivalenceTest&)> setUp;  // before the warm passes
    std::function<void(SelectionEquivalenceTest&)> change;
    std::set<std::string> copied;
  };
  auto& t = *this;
  const Row rows[] = {
      {"new file", nullptr, [](auto& t) { MakeFile(t.s.src + "/new.jpg", "n", kOld); }, {"new.jpg"}},
      {"touched file", nullptr, [](auto& t) { SetModTime(t.s.src + "/a.jpg", kNow - 60); }, {"a.jpg"}},
      {"replaced file",
       nullptr,
       [](auto& t) {
         MakeFile(t.s.src + "/.swap", "other", kNow - 60);
         fs::rename(t.s.src + "/.swap", t.s.src + "/b.jpg");
       },
       {"b.jpg"}},
      {"deleted copy",
       nullptr,
       [](auto& t) { t.BothArchives([](auto& d) { fs::remove(d + "/c.jpg"); }); },
       {"c.jpg"}},
      {"older copy",
       nullptr,
       [](auto& t) { t.BothArchives([](auto& d) { SetModTime(d + "/a.jpg", kOld - 60); }); },
       {"a.jpg"}},
      {"aged file",
       [](auto& t) {
         MakeFile(t.s.src + "/young.jpg", "y", kNow - 30);
         t.s.keeping->m_iFileAge = t.s.scanning->m_iFileAge = 1;  // one minute
       },
       [](auto& t) { t.host.now = kNow + 31; },
       {"young.jpg"}},
      {"locked then released",
       [](auto& t) {
         MakeFile(t.s.src + "/held.jpg", "h", kOld);
         t.s.holder = std::make_unique<FileHolder>(t.s.src + "/held.jpg", O_WRONLY);
       },
       [](auto& t) { t.s.holder.reset(); },
       {"held.jpg"}},
      {"hot folder renamed and made again",
       nullptr,
       [](auto& t) {
         fs::rename(t.s.src, t.s.src + "-old");
         MakeFile(t.s.src + "/a.jpg", "new a", kNow - 60);
       },
       {"a.jpg"}},
      {"card mounted on the hot folder",
       nullptr,
       [](auto& t) {
         t.s.card = std::make_unique<SmallTmpfs>(t.s.src, "1m");
         MakeFile(t.s.src + "/a.jpg", "card a", kOld);
         MakeFile(t.s.src + "/card.jpg", "card", kOld);
       },
       {"card.jpg"}},
      {"leave the newest: an older file arrives",
       [](auto& t) { t.s.keeping->m_iLeaveMinFilecount = t.s.scanning->m_iLeaveMinFilecount = 1; },
       [](auto& t) { MakeFile(t.s.src + "/late.jpg", "l", kOld - 600); },
       {"late.jpg"}},
      {"file changed through its second name elsewhere",
       [](auto& t) { fs::create_hard_link(t.s.src + "/b.jpg", t.s.src + "/../b-link"); },
       [](auto& t) {
         WriteFile(t.s.src + "/../b-link", "changed elsewhere");
         SetModTime(t.s.src + "/../b-link", kNow - 60);
       },
       {"b.jpg"}},
      {"file in a subfolder touched",
       [](auto& t) {
         t.s.keeping->m_bIncludeSubFolders = t.s.scanning->m_bIncludeSubFolders = 1;
         MakeFile(t.s.src + "/sub/d.jpg", "d", kOld);
       },
       [](auto& t) { SetModTime(t.s.src + "/sub/d.jpg", kNow - 60); },
       {"sub/d.jpg"}},
  };
  for (int limit : {0, 1}) {  // 1: only the hot folder is watched, the rest is scanned
    SelectionCache::SetWatchLimitForTest(limit);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.what) + (limit ? ", watch limit reached" : ""));
      const std::string base = host.Dir() + "/" + std::to_string(limit) + "-" + std::to_string(&row - rows);
      s = Station{base + "/hot", base + "/kept", base + "/scanned", nullptr, nullptr, nullptr, nullptr};
      for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) MakeFile(s.src + "/" + name, name, kOld);
      MakeFolder(s.kept);
      MakeFolder(s.scanned);
      s.keeping = MakeAction(s.kept);
      s.scanning = MakeAction(s.scanned);
      host.now = kNow;
      if (row.setUp) row.setUp(t);
      for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(Pass(*s.keeping, false), Pass(*s.scanning, true)) << "warm pass " << pass;
      }
      EXPECT_TRUE(Pass(*s.keeping, false).empty()) << "nothing changed, nothing copied";
      row.change(t);
      // A change no event reports is found by the sweep, once its period has gone by.
      SelectionCache::AdvanceClockForTest(SelectionCache::kSweepSeconds);
      const std::set<std::string> kept = Pass(*s.keeping, false);
      EXPECT_EQ(kept, Pass(*s.scanning, true));
      EXPECT_EQ(kept, row.copied);
      s.holder.reset();
      s.card.reset();
    }
  }
  SelectionCache::SetWatchLimitForTest(0);
}

// A second name made in another folder raises no event where the photo lies; the slow sweep
// finds it within its period, a slice at a time, with one watch per folder and none per file.
TEST_F(SelectionEquivalenceTest, ASecondNameMadeElsewhereIsNoticedWithinTheSweepPeriod) {
  s.src = host.Dir() + "/hot";
  s.kept = host.Dir() + "/kept";
  for (int i = 0; i < 300; ++i) MakeFile(s.src + "/" + std::to_string(i) + ".jpg", "x", kOld);
  MakeFile(s.src + "/sub/x.jpg", "x", kOld);
  MakeFolder(s.kept);
  s.keeping = MakeAction(s.kept);
  s.keeping->m_bIncludeSubFolders = 1;
  host.now = kNow;
  const int watchesBefore = FolderWatch::ProcessCount();
  ASSERT_EQ(Pass(*s.keeping, false).size(), 301u);
  EXPECT_TRUE(Pass(*s.keeping, false).empty());
  EXPECT_EQ(FolderWatch::ProcessCount() - watchesBefore, 3) << "the hot folder, its subfolder, the archive";

  fs::create_hard_link(s.src + "/150.jpg", host.Dir() + "/elsewhere.jpg");
  WriteFile(host.Dir() + "/elsewhere.jpg", "changed elsewhere");
  SetModTime(host.Dir() + "/elsewhere.jpg", kNow - 60);
  int waited = 0;
  std::set<std::string> copied;
  while (copied.empty() && waited <= SelectionCache::kSweepSeconds) {
    SelectionCache::AdvanceClockForTest(10);
    waited += 10;
    copied = Pass(*s.keeping, false);
  }
  EXPECT_EQ(copied, std::set<std::string>{"150.jpg"});
  EXPECT_LE(waited, SelectionCache::kSweepSeconds);
  // Read on every pass from then on: a change through the other name is seen at once.
  SetModTime(host.Dir() + "/elsewhere.jpg", kNow - 30);
  EXPECT_EQ(Pass(*s.keeping, false), std::set<std::string>{"150.jpg"});
}

// Progress dispatches events, so a run can start inside a run of the same action.
TEST_F(SelectionEquivalenceTest, ARunNestedInItsOwnRunLeavesTheKeptSelectionSound) {
  s.src = host.Dir() + "/hot";
  s.kept = host.Dir() + "/kept";
  for (int i = 0; i < 5; ++i) MakeFile(s.src + "/" + std::to_string(i) + ".jpg", "x", kOld);
  MakeFolder(s.kept);
  s.keeping = MakeAction(s.kept);
  host.now = kNow;
  int nested = 0;
  host.onProgress = [&] {
    if (nested++ == 3) Pass(*s.keeping, false);
  };
  Pass(*s.keeping, false);
  host.onProgress = nullptr;
  EXPECT_EQ(CountFiles(s.kept), 5);
  EXPECT_TRUE(Pass(*s.keeping, false).empty());
  SetModTime(s.src + "/2.jpg", kNow - 60);
  EXPECT_EQ(Pass(*s.keeping, false), std::set<std::string>{"2.jpg"});
}

}  // namespace
}  // namespace brisko
