#include "app/instance_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "common/temp_dir.h"

namespace brisko {
namespace {

TEST(AnInstanceRequest, SurvivesTheWire) {
  const std::vector<InstanceRequest> requests = {
      {InstanceRequest::Raise, 0, ""},
      {InstanceRequest::Command, 1, ""},
      {InstanceRequest::Command, 20, ""},
      {InstanceRequest::Barcode, 0, "P0001|G2|V Hall 3 | ünïcode"},
      {InstanceRequest::PaperLoaded, 0, "Selphy:36"},
      {InstanceRequest::PaperLoaded, 0, "off"},
  };
  for (const auto& r : requests) {
    std::string line = FormatInstanceRequest(r);
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    EXPECT_EQ(ParseInstanceRequest(line), r) << line;
  }
}

TEST(AnInstanceRequest, BrokenLinesAreRefused) {
  for (const std::string& line : std::vector<std::string>{
           "", "raise ", "RAISE", "command", "command 0", "command 21", "command -1", "command 1x",
           "command  1", "barcode ", "barcode", "open file.txt", std::string("barcode a\0b", 11),
           "barcode P\n\xab"
           "1 P",
           "paper-loaded ", "paper-loaded Sel phy:3", "paper-loaded :3", "paper-loaded Selphy:-1",
           std::string(kMaxInstanceRequestBytes, 'x')})
    EXPECT_FALSE(ParseInstanceRequest(line)) << line;
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::Barcode, 0, "a\nraise"}), "");
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::Command, 21, ""}), "");
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::PaperLoaded, 0, "Selphy:3\nraise"}), "");
  EXPECT_EQ(FormatInstanceRequest({InstanceRequest::Barcode, 0, std::string(kMaxInstanceRequestBytes, 'x')}),
            "");
}

TEST(AnActionsRequest, KeepsEveryWordWholeOnTheWireAndRefusesBrokenOnes) {
  InstanceRequest request;
  request.kind = InstanceRequest::Actions;
  request.args = {"add", "Move Files from Media",  "Cards  in", "m_strDestFolder=/srv/a b/100%",
                  "",    "m_strName=two\nlines\r", "\x7f\x01",  "ünï"};
  std::string line = FormatInstanceRequest(request);
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  line.pop_back();
  EXPECT_EQ(ParseInstanceRequest(line), request);
  for (const char* broken : {"actions add%", "actions add%4", "actions a%zz", "actions %G0", "actions a\tb"})
    EXPECT_FALSE(ParseInstanceRequest(broken)) << broken;

  const InstanceAnswer answer{1, "Action 1: x\n  y=z 100%\n", "no action 3\n"};
  std::string answerLine = FormatInstanceAnswer(answer);
  ASSERT_EQ(answerLine.find('\n'), answerLine.size() - 1);
  answerLine.pop_back();
  EXPECT_EQ(ParseInstanceAnswer(answerLine), answer);
  for (const char* broken : {"ok", "done", "done 1", "done 1 a", "done x a b", "done 300 a b", "done 0 %1 b"})
    EXPECT_FALSE(ParseInstanceAnswer(broken)) << broken;
}

class AnInstanceChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("XDG_RUNTIME_DIR");
    m_oldRuntime = old ? old : "";
    setenv("XDG_RUNTIME_DIR", m_dir.Path().c_str(), 1);
  }
  void TearDown() override {
    if (m_oldRuntime.empty())
      unsetenv("XDG_RUNTIME_DIR");
    else
      setenv("XDG_RUNTIME_DIR", m_oldRuntime.c_str(), 1);
  }
  test::TempDir m_dir;
  std::string m_oldRuntime;
};

TEST_F(AnInstanceChannel, NamesItsFilesAfterTheStore) {
  mkdir((m_dir / "conf").c_str(), 0700);
  test::WriteFile(m_dir / "conf/a.db", "");
  symlink((m_dir / "conf/a.db").c_str(), (m_dir / "link.db").c_str());
  InstancePaths a = InstancePathsForStore(m_dir / "conf/a.db");
  InstancePaths b = InstancePathsForStore(m_dir / "conf/b.db");
  InstancePaths a2 = InstancePathsForStore(m_dir.Path() + "/./conf/a.db");
  InstancePaths viaLink = InstancePathsForStore(m_dir / "link.db");
  EXPECT_NE(a.socket, b.socket);
  EXPECT_EQ(a.socket, a2.socket);
  EXPECT_EQ(a.lock, std::filesystem::canonical(m_dir.Path()).string() + "/conf/a.db.lock")
      << "beside the store";
  EXPECT_EQ(viaLink.lock, a.lock) << "one lock for every name of the store";
  EXPECT_EQ(a.socket.rfind(m_dir.Path() + "/", 0), 0u) << "the socket in the runtime folder";

  // A runtime folder that is gone (or not ours) is passed over as if it were unset.
  setenv("XDG_RUNTIME_DIR", (m_dir / "gone").c_str(), 1);
  InstancePaths fallback = InstancePathsForStore(m_dir / "conf/a.db");
  EXPECT_EQ(fallback.lock, a.lock);
  EXPECT_EQ(fallback.socket.find(m_dir / "gone"), std::string::npos) << fallback.socket;
}

TEST_F(AnInstanceChannel, HoldsTheLockAndTellsLaterStartsWhereItsSocketIs) {
  const std::string lockPath = m_dir / "s.db.lock";
  InstanceLock first;
  ASSERT_EQ(first.Acquire(lockPath), InstanceLock::Acquired);
  InstanceLock second;
  EXPECT_EQ(second.Acquire(lockPath), InstanceLock::HeldByOther);
  EXPECT_EQ(ReadLockFileSocket(lockPath), "");
  ASSERT_TRUE(first.Publish("/run/user/1000/brisko-workflow-1000-0123456789abcdef.sock"));
  EXPECT_EQ(ReadLockFileSocket(lockPath), "/run/user/1000/brisko-workflow-1000-0123456789abcdef.sock");
  ASSERT_TRUE(first.Publish("/tmp/s.sock"));
  EXPECT_EQ(ReadLockFileSocket(lockPath), "/tmp/s.sock") << "rewritten whole, no tail of the longer one";

  for (const std::string& broken :
       {std::string(""), std::string("/tmp/s.sock"), std::string("relative.sock\n"), std::string("\n"),
        std::string("/tmp/a\0b.sock\n", 15), "/" + std::string(200, 'x') + "\n"})
    EXPECT_EQ(ParseLockFileSocket(broken), "") << broken;
  EXPECT_EQ(ParseLockFileSocket("/tmp/s.sock\nmore"), "/tmp/s.sock");
}

TEST_F(AnInstanceChannel, HandsARequestToTheRunningStation) {
  InstancePaths p = InstancePathsForStore(m_dir / "s.db");
  test::WriteFile(p.socket, "stale");  // left behind by a crashed station
  InstanceServer server;
  ASSERT_TRUE(server.Listen(p.socket));
  bool sent = false;
  std::thread client([&] { sent = SendInstanceRequest(p.socket, {InstanceRequest::Command, 7, ""}, 5000); });
  pollfd waiting{server.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 5000), 1);  // as the station's loop does
  std::optional<InstanceRequest> got = server.AcceptOne();
  client.join();
  EXPECT_TRUE(sent);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->kind, InstanceRequest::Command);
  EXPECT_EQ(got->command, 7);
}

TEST_F(AnInstanceChannel, AnswersAnActionsRequestWithItsResult) {
  InstancePaths p = InstancePathsForStore(m_dir / "s.db");
  InstanceServer server;
  ASSERT_TRUE(server.Listen(p.socket));
  InstanceAnswer got;
  bool sent = false;
  std::thread client([&] { sent = SendActionsRequest(p.socket, {"show", "2"}, 5000, got); });
  pollfd waiting{server.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 5000), 1);
  std::vector<std::string> asked;
  EXPECT_FALSE(server.AcceptOne([&](const InstanceRequest& r) {
    asked = r.args;
    return InstanceAnswer{0, std::string(300000, 'x') + "\n", ""};
  }));
  client.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(asked, (std::vector<std::string>{"show", "2"}));
  EXPECT_EQ(got.out.size(), 300001u) << "an answer longer than a request line";
}

// A paper load is answered with what the station did, or why not; other requests at once.
TEST_F(AnInstanceChannel, APaperLoadIsAnsweredWithWhatWasDone) {
  InstancePaths p = InstancePathsForStore(m_dir / "s.db");
  InstanceServer server;
  ASSERT_TRUE(server.Listen(p.socket));
  struct Row {
    PaperAnswer said;
    bool sent;
  };
  const Row rows[] = {
      {{false, "Paper loaded: no printer X here (printers: Selphy)"}, false},
      {{true, "Paper loaded on printer Selphy: 1 print left"}, true},
      {{true, "two\nlines"}, true},
  };
  for (const Row& r : rows) {
    bool sent = !r.sent;
    PaperAnswer heard;
    std::string error;
    std::thread client([&] {
      sent = SendInstanceRequest(p.socket, {InstanceRequest::PaperLoaded, 0, "X:1"}, 5000, &error, &heard);
    });
    pollfd waiting{server.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 5000), 1);
    std::string handled;
    EXPECT_FALSE(server.AcceptOne({}, [&](const InstanceRequest& req) {
      handled = req.text;
      return r.said;
    }));
    client.join();
    EXPECT_EQ(handled, "X:1");
    EXPECT_EQ(sent, r.sent);
    EXPECT_EQ(heard.ok, r.said.ok);
    EXPECT_EQ(heard.text, r.said.text == "two\nlines" ? "two lines" : r.said.text);
  }
  EXPECT_EQ(FormatPaperAnswer({true, ""}), "ok\n");
}

// Another user who made our /tmp folder first once sent us to /tmp itself, where they could hold
// the lock and answer on the socket in our place.
TEST_F(AnInstanceChannel, NeverFallsBackToASharedFolder) {
  const std::string tmp = m_dir / "tmp";
  const std::string home = m_dir / "home";
  ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
  ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  const std::string usual = tmp + "/brisko-workflow-" + std::to_string(getuid());
  EXPECT_EQ(PrivateRuntimeFolder(tmp, home), usual);

  ASSERT_EQ(chmod(usual.c_str(), 0777), 0);  // not private: as good as someone else's
  const std::string own = PrivateRuntimeFolder(tmp, home);
  EXPECT_EQ(own, home + "/.brisko-workflow-run");
  struct stat st {};
  ASSERT_EQ(lstat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // No usable home either: the lock cannot be opened, and the station refuses to start.
  const std::string nowhere = PrivateRuntimeFolder(tmp, m_dir / "missing");
  EXPECT_EQ(nowhere.rfind(tmp, 0), std::string::npos);
  InstanceLock lock;
  EXPECT_EQ(lock.Acquire(nowhere + "/x.lock"), InstanceLock::Failed);
}

TEST_F(AnInstanceChannel, IgnoresRequestsFromAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(chmod(m_dir.Path().c_str(), 0755), 0);
  const std::string path = m_dir / "s.sock";
  InstanceServer server;
  ASSERT_TRUE(server.Listen(path));
  ASSERT_EQ(chmod(path.c_str(), 0777), 0);  // even when the socket itself lets everyone in
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(3);
    const char line[] = "command 7\n";
    // The station may already have hung up.
    (void)!send(fd, line, sizeof line - 1, MSG_NOSIGNAL);
    _exit(0);
  }
  pollfd waiting{server.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 5000), 1);
  EXPECT_FALSE(server.AcceptOne());
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(AnInstanceChannel, ReportsWhenNobodyAnswers) {
  std::string error;
  EXPECT_FALSE(SendInstanceRequest(m_dir / "none.sock", {}, 200, &error));
  EXPECT_NE(error.find("cannot reach"), std::string::npos) << error;
}

}  // namespace
}  // namespace brisko
