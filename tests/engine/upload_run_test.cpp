// Upload Files against real servers the tests start on loopback (rclone serve webdav / sftp):
// each photo reaches the remote once and equal, through a dropped network, name collisions and
// kills during sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "engine/action/action.h"
#include "engine/action/action_form.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/records/upload_queue.h"
#include "upload/rclone_fixture.h"

namespace brisko {
namespace {

using test::MakeFile;
using test::RcloneServer;
using test::ReadFile;

class UploadHost : public test::FakeHost {
 public:
  RcloneDaemon* Uploader() override { return daemon.get(); }
  std::unique_ptr<RcloneDaemon> daemon;
};

// A photo's bytes: distinct for each index, so the remote's copies can be told apart.
std::string PhotoBytes(int index, size_t size) {
  std::string bytes(size, '\0');
  std::mt19937 random(uint32_t(index) * 7919u + 1u);
  for (char& c : bytes) c = char(random());
  return bytes;
}

// Every regular file below `root`, by its path relative to it.
std::map<std::string, std::string> FilesBelow(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(root)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file())
      files[std::filesystem::relative(entry.path(), root).string()] = ReadFile(entry.path().string());
  }
  return files;
}

class UploadRun : public ::testing::Test {
 protected:
  void Start(RcloneServer::Kind kind) {
    server = std::make_unique<RcloneServer>(kind, host.Dir() + "/served", host.Dir() + "/rclone");
    ASSERT_TRUE(server->Start());
    host.daemon = std::make_unique<RcloneDaemon>(server->DaemonOptions());
    source = host.Dir() + "/out";
    test::MakeFolder(source);
  }
  std::unique_ptr<Action> MakeAction() {
    auto a = std::make_unique<Action>(host);
    a->m_strName = "Gallery";
    a->m_iType = kUploadFiles;
    a->m_strSourceFolder = source;
    a->m_strDestFolder = "gallery:events/";
    a->m_strFileSpec = "*.jpg";
    a->m_iFileAge = 0;
    return a;
  }
  // Passes until nothing waits (the clock moved past every back-off), at most `passes`.
  void Drain(Action& a, int passes = 20) {
    for (int i = 0; i < passes; ++i) {
      test::RunPass(a);
      if (a.MakeRun().UploadState().waiting == 0) return;
      host.now = host.Now() + 600;
    }
  }
  void MakePhotos(int first, int count, size_t size = 4096) {
    for (int i = first; i < first + count; ++i)
      MakeFile(source + "/IMG_" + std::to_string(1000 + i) + ".jpg", PhotoBytes(i, size),
               std::time(nullptr) - 600 + i);
  }
  // Each photo once on the remote, byte for byte, and nothing else there.
  void ExpectEachOnceAndEqual(int count) {
    const auto files = FilesBelow(server->Root() + "/events");
    std::map<std::string, int> copies;
    for (const auto& [name, bytes] : files) {
      EXPECT_EQ(name.find(".brisko-upload"), std::string::npos) << "a temporary name stayed: " << name;
      ++copies[bytes];
    }
    for (int i = 0; i < count; ++i) {
      const std::string name = "IMG_" + std::to_string(1000 + i) + ".jpg";
      EXPECT_EQ(copies[ReadFile(source + "/" + name)], 1) << name;
      EXPECT_TRUE(files.count(name)) << name;
    }
    EXPECT_EQ(files.size(), size_t(count));
  }

  UploadHost host;
  std::unique_ptr<RcloneServer> server;
  std::string source;
};

TEST_F(UploadRun, sendsEachPhotoOnceAndKeepsTheLocalFiles) {
  SKIP_WITHOUT_RCLONE();
  Start(RcloneServer::Kind::WebDav);
  MakePhotos(0, 12);
  MakeFile(source + "/notes.txt", "not a photo");
  auto a = MakeAction();
  Drain(*a);
  ExpectEachOnceAndEqual(12);
  // The hidden folders the photos were written below went with the last rename.
  for (const auto& entry : std::filesystem::directory_iterator(server->Root() + "/events"))
    EXPECT_FALSE(entry.is_directory()) << entry.path();
  EXPECT_TRUE(test::Exists(source + "/IMG_1000.jpg"));
  EXPECT_EQ(host.LogLinesWith("(size only)"), 12);  // WebDAV gives no hash here
  const UploadStatus status = a->MakeRun().UploadState();
  EXPECT_EQ(status.sentToday, 12);
  EXPECT_EQ(status.waiting, 0);
  EXPECT_EQ(status.remote, "gallery:events/");

  // Later passes send nothing again; a new photo goes alone; so does a changed one.
  test::RunPass(*a);
  MakePhotos(12, 1);
  MakeFile(source + "/IMG_1003.jpg", "a new version", std::time(nullptr) - 5);
  Drain(*a);
  EXPECT_EQ(host.LogLinesWith("Uploaded "), 14);
  const auto files = FilesBelow(server->Root() + "/events");
  EXPECT_EQ(files.at("IMG_1003 (2).jpg"), "a new version");
  EXPECT_EQ(files.at("IMG_1003.jpg"), PhotoBytes(3, 4096));  // what was sent stays

  // A new station (the queue read back from its records) sends nothing again either.
  a.reset();
  auto again = MakeAction();
  Drain(*again);
  EXPECT_EQ(host.LogLinesWith("Uploaded "), 14);
  EXPECT_EQ(again->MakeRun().UploadState().sentToday, 14);
}

TEST_F(UploadRun, waitsOutADroppedNetworkWithOneLine) {
  SKIP_WITHOUT_RCLONE();
  Start(RcloneServer::Kind::WebDav);
  MakePhotos(0, 3);
  auto a = MakeAction();
  a->m_iUploadLateMinutes = 10;
  server->Stop();
  host.now = std::time(nullptr);
  EXPECT_FALSE(test::RunPass(*a));
  ASSERT_EQ(host.LogLinesWith("Offline since "), 1);
  const std::string line =
      host.log[size_t(std::find_if(host.log.begin(), host.log.end(),
                                   [](const std::string& l) { return l.find("Offline since ") != l.npos; }) -
                      host.log.begin())];
  EXPECT_NE(line.find(": 3 photos waiting"), std::string::npos) << line;
  UploadStatus status = a->MakeRun().UploadState();
  EXPECT_EQ(status.waiting, 3);
  EXPECT_NE(status.offlineSince, 0);
  EXPECT_NE(status.lastError.find("connection refused"), std::string::npos) << status.lastError;
  EXPECT_FALSE(status.late);
  // Backing off: the next pass does not even try; later ones try and say nothing new.
  test::RunPass(*a);
  host.now += 400;
  MakePhotos(3, 1);
  test::RunPass(*a);
  host.now += 800;
  EXPECT_EQ(host.LogLinesWith("Offline since "), 1);
  status = a->MakeRun().UploadState();
  EXPECT_EQ(status.waiting, 4);
  EXPECT_TRUE(status.late);  // 20 minutes waiting, 10 allowed

  ASSERT_TRUE(server->Start());
  Drain(*a);
  ExpectEachOnceAndEqual(4);
  EXPECT_EQ(host.LogLinesWith("Online again since "), 1);
  status = a->MakeRun().UploadState();
  EXPECT_EQ(status.offlineSince, 0);
  EXPECT_FALSE(status.late);
}

TEST_F(UploadRun, checksByHashWhereTheRemoteGivesOne) {
  SKIP_WITHOUT_RCLONE();
  Start(RcloneServer::Kind::Sftp);
  MakePhotos(0, 3);
  auto a = MakeAction();
  a->m_strDestFolder = "gallery:";
  Drain(*a);
  EXPECT_EQ(host.LogLinesWith("(checked)"), 3);
  for (int i = 0; i < 3; ++i) {
    const std::string name = "IMG_" + std::to_string(1000 + i) + ".jpg";
    EXPECT_EQ(ReadFile(server->Root() + "/" + name), ReadFile(source + "/" + name));
  }
  // Renamed from hidden folders at the remote's top, which go again.
  for (const auto& entry : std::filesystem::directory_iterator(server->Root()))
    EXPECT_FALSE(entry.is_directory()) << entry.path();
}

TEST_F(UploadRun, refusesARemoteThatCarriesASecret) {
  source = host.Dir() + "/out";
  MakePhotos(0, 1);
  auto a = MakeAction();
  a->m_strDestFolder = "gallery,pass=hunter2:events/";
  EXPECT_FALSE(test::RunPass(*a));
  EXPECT_EQ(host.LogLinesWith("The destination is not an rclone remote"), 1);
  for (const std::string& line : host.log) EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
  EXPECT_EQ(host.LoggedText().find("hunter2"), std::string::npos);

  // The editor refuses it before it is stored.
  a->m_strDestFolder = "gallery:events/";
  ActionForm form(*a);
  form.destFolder = ":webdav,url=http\\://x,pass=hunter2:";
  const auto message = form.Ok([](Action&) {});
  ASSERT_TRUE(message);
  EXPECT_NE(message->text.find("rclone remote"), std::string::npos) << message->text;
  EXPECT_EQ(a->m_strDestFolder, "gallery:events/");
}

TEST_F(UploadRun, withoutADaemonTheQueueWaits) {
  SKIP_WITHOUT_RCLONE();
  Start(RcloneServer::Kind::WebDav);
  MakePhotos(0, 2);
  auto daemon = std::move(host.daemon);
  auto a = MakeAction();
  host.now = std::time(nullptr);
  EXPECT_FALSE(test::RunPass(*a));
  host.now += 600;
  EXPECT_FALSE(test::RunPass(*a));
  EXPECT_EQ(host.LogLinesWith("FAILED: this station cannot upload"), 1);
  EXPECT_EQ(a->MakeRun().UploadState().waiting, 2);
  host.daemon = std::move(daemon);
  a.reset();
  auto b = MakeAction();  // the queue as its records hold it
  Drain(*b);
  ExpectEachOnceAndEqual(2);
}

// Kills at random moments of the sends, and a server that stops now and then: in the end each
// photo is on the remote once, equal.
// Through hidden names renamed into place, or in place.
class UploadModes : public UploadRun, public ::testing::WithParamInterface<bool> {};

TEST_P(UploadModes, neverReplaceAnotherFileOfTheSameName) {
  SKIP_WITHOUT_RCLONE();
  Start(RcloneServer::Kind::WebDav);
  MakePhotos(0, 2);
  MakeFile(server->Root() + "/events/IMG_1000.jpg", "someone else's photo");
  // The very photo is there already (sent by hand): not sent twice.
  MakeFile(server->Root() + "/events/IMG_1001.jpg", ReadFile(source + "/IMG_1001.jpg"));
  auto a = MakeAction();
  a->m_bUploadInPlace = GetParam();
  Drain(*a);
  const auto files = FilesBelow(server->Root() + "/events");
  EXPECT_EQ(files.at("IMG_1000.jpg"), "someone else's photo");
  EXPECT_EQ(files.at("IMG_1000 (2).jpg"), PhotoBytes(0, 4096));
  EXPECT_EQ(files.size(), 3u);
  EXPECT_EQ(host.LogLinesWith("(already there)"), 1);
}

INSTANTIATE_TEST_SUITE_P(InPlaceOrNot, UploadModes, ::testing::Bool());

class UploadKills : public UploadRun, public ::testing::WithParamInterface<bool> {};

// In place or through hidden names (where a half-written photo found after a kill is known for
// ours by its record, and written again rather than given another name).
TEST_P(UploadKills, survivesKillsDuringSendsAndADroppedServer) {
  SKIP_WITHOUT_RCLONE();
  Start(RcloneServer::Kind::WebDav);
  const bool inPlace = GetParam();
  constexpr int kPhotos = 24;
  MakePhotos(0, kPhotos, 160 * 1024);
  std::mt19937 random(20261208);
  int finished = 0;
  for (int round = 0; round < 24 && finished == 0; ++round) {
    const bool dropped = round % 5 == 3;
    if (dropped) server->Stop();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // A fresh station over the same folders: its own daemon and action, nothing inherited.
      host.daemon = std::make_unique<RcloneDaemon>(server->DaemonOptions());
      auto a = MakeAction();
      a->m_iUploadRateLimit = 1024;  // slow enough for the kills to land mid-send
      a->m_bUploadInPlace = inPlace;
      for (int pass = 0; pass < 40; ++pass) {
        test::RunPass(*a);
        if (a->MakeRun().UploadState().waiting == 0) ::_exit(0);
        host.now = host.Now() + 600;
      }
      ::_exit(1);
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 1500)(random)));
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !dropped) finished = round + 1;
    } else {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    if (dropped) {
      ASSERT_TRUE(server->Start());
    }
  }
  // Whatever the kills left, one more station finishes it.
  auto a = MakeAction();
  a->m_bUploadInPlace = inPlace;
  Drain(*a);
  ExpectEachOnceAndEqual(kPhotos);
}
INSTANTIATE_TEST_SUITE_P(InPlaceOrNot, UploadKills, ::testing::Bool());

TEST(AnUploadSummary, saysWhatWaitsAndWhy) {
  const int64_t now = 1765000000;
  std::tm tm{};
  const std::time_t since = now - 3600;
  localtime_r(&since, &tm);
  char clock[8];
  std::strftime(clock, sizeof clock, "%H:%M", &tm);
  struct Row {
    UploadStatus status;
    std::string text;
  };
  UploadStatus idle;
  UploadStatus flowing;
  flowing.waiting = 40;
  flowing.oldestQueued = now - 125;
  flowing.sentToday = 300;
  flowing.bytesPerSecond = 2.5 * 1024 * 1024;
  flowing.secondsToEmpty = 48;
  UploadStatus offline = flowing;
  offline.offlineSince = since;
  offline.lastError = "dial tcp: connection refused";
  offline.bytesPerSecond = 0;
  offline.failed = 2;
  const Row rows[] = {
      {idle, "0 photos waiting; 0 sent today"},
      {flowing, "40 photos waiting, oldest 2 min; 300 sent today, 2.5 MB/s, empty in 48 s"},
      {offline, std::string("Offline since ") + clock +
                    ": 40 photos waiting; 300 sent today, empty in 48 s; 2 given up; last error: dial tcp: "
                    "connection refused"},
  };
  for (const Row& row : rows) EXPECT_EQ(UploadSummary(row.status, now), row.text);
}

TEST(AnUploadRecord, readsBackWhatItWrote) {
  UploadRecordText record;
  record.dest = "gallery:events/";
  record.source = "/photos/out\twith tab";
  UploadEntry e;
  e.state = UploadState::Checked;
  e.source = "/photos/out\twith tab/IMG 1%.jpg";
  e.size = 3145728;
  e.modTime = 1765000000;
  e.remote = "2026-12-08/IMG 1%.jpg";
  e.tries = 2;
  e.queued = 1765000001;
  e.sent = 1765000002;
  e.reason = "line\nbreak";
  record.entries.push_back(e);
  e.state = UploadState::Pending;
  e.reason.clear();
  record.entries.push_back(e);
  const std::string text = FormatUploadRecord(record);
  UploadRecordText back;
  ASSERT_TRUE(ParseUploadRecord(text, back));
  ASSERT_EQ(back.entries.size(), 2u);
  EXPECT_EQ(back.source, record.source);
  EXPECT_EQ(back.entries[0].source, e.source);
  EXPECT_EQ(back.entries[0].reason, "line\nbreak");
  EXPECT_EQ(back.entries[0].state, UploadState::Checked);
  EXPECT_EQ(back.entries[1].state, UploadState::Pending);
  EXPECT_EQ(FormatUploadRecord(back), text);

  // Anything not whole is refused, never half read.
  const std::string broken[] = {
      text.substr(0, text.size() - 1),                                // cut short
      text.substr(0, text.find("end\n")),                             // no trailer
      text + "more\n",                                                // after the trailer
      "brisko-upload 2\n" + text.substr(text.find('\n') + 1),         // another version
      std::string(text).replace(text.find("checked"), 7, "sent!!!"),  // unknown state
      std::string(text).replace(text.find("%25"), 3, "%zz"),          // bad escape
      std::string(text).replace(text.find("3145728"), 7, "31x5728"),  // bad number
      std::string(text).replace(text.find("\t2026-12-08"), 1, " "),   // a field short
  };
  for (const std::string& b : broken) {
    UploadRecordText parsed;
    EXPECT_FALSE(ParseUploadRecord(b, parsed)) << b;
    EXPECT_TRUE(parsed.entries.empty());
  }
}

}  // namespace
}  // namespace brisko
