#pragma once
// Kills a run at its journaled steps: `body` runs in a child process that dies (as with SIGKILL:
// no cleanup, no destructors) when it reaches the step asked for. Shared by every test of a
// durable record (card moves, tag batches, camera moves).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "engine/records/move_journal.h"
#include "support/file_ops.h"

namespace brisko::test {

// The step a child died at: its name and how many steps it had passed ("" when it finished).
struct KillPoint {
  std::string step;
  int index = 0;
  explicit operator bool() const { return !step.empty(); }
};

// The file layer's steps of a copy or a move across file systems, as the harness names them
// ("file place"); counted as steps only where asked for (they are many).
inline const char* FileStepName(FileStep step) {
  switch (step) {
    case FileStep::Write:
      return "file write";
    case FileStep::Sync:
      return "file sync";
    case FileStep::Place:
      return "file place";
    case FileStep::SyncFolder:
      return "file sync folder";
    case FileStep::DeleteSource:
      return "file delete source";
  }
  return "file ?";
}

// Runs `body` in a child that `arm` makes die: it is handed die(), which ends the child at once
// (as with SIGKILL: no cleanup, no destructors) with what it says ("<index> <step>").
inline KillPoint RunAndDie(const std::function<void(const std::function<void(const std::string&)>& die)>& arm,
                           const std::function<void()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    ::close(fds[0]);
    const int out = fds[1];
    arm([out](const std::string& said) {
      [[maybe_unused]] const ssize_t n = ::write(out, said.data(), said.size());
      ::_exit(3);
    });
    body();
    ::_exit(0);
  }
  ::close(fds[1]);
  char buffer[256] = {};
  size_t got = 0;
  for (ssize_t n; got < sizeof buffer - 1 && (n = ::read(fds[0], buffer + got, sizeof buffer - 1 - got)) > 0;)
    got += size_t(n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "the child crashed";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 3) return {};
  KillPoint point;
  point.index = std::atoi(buffer);
  const char* space = std::strchr(buffer, ' ');
  point.step = space ? space + 1 : "?";
  return point;
}

// Dies at the first step for which `here(name, index)` (index counts from 1) says so; with
// `fileSteps`, the file layer's steps count too.
inline KillPoint RunAndDieWhere(const std::function<bool(const std::string& step, int index)>& here,
                                const std::function<void()>& body, bool fileSteps = false) {
  int index = 0;  // lives in the child until it dies or ends
  return RunAndDie(
      [&](const std::function<void(const std::string&)>& die) {
        MoveJournal::SetStepHookForTest([&, die](const char* step) {
          if (here(step, ++index)) die(std::to_string(index) + " " + step);
        });
        if (fileSteps) {
          SetFileFaultHook([&, die](FileStep step) {
            if (here(FileStepName(step), ++index)) die(std::to_string(index) + " " + FileStepName(step));
            return 0;
          });
        }
      },
      body);
}

// Dies at the `nth` step named `step` (a file step: "file place").
inline KillPoint RunAndDieAt(const std::string& step, const std::function<void()>& body, int nth = 1) {
  int seen = 0;
  return RunAndDieWhere([&](const std::string& s, int) { return s == step && ++seen == nth; }, body,
                        step.rfind("file ", 0) == 0);
}

// Runs `body` in a child that stands still at the first step named `step` until Resume(): what
// another station sees of a live move.
class PausedChild {
 public:
  PausedChild(const std::string& step, const std::function<void()>& body) {
    if (::pipe(m_paused) != 0 || ::pipe(m_resume) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(m_paused[0]);
      ::close(m_resume[1]);
      bool once = false;
      MoveJournal::SetStepHookForTest([&](const char* at) {
        if (once || step != at) return;
        once = true;
        char c = 0;
        if (::write(m_paused[1], "p", 1) != 1 || ::read(m_resume[0], &c, 1) != 1) ::_exit(4);
      });
      body();
      ::_exit(0);
    }
    ::close(m_paused[1]);
    ::close(m_resume[0]);
    char c = 0;
    m_stopped = m_pid > 0 && ::read(m_paused[0], &c, 1) == 1;
  }
  ~PausedChild() { Resume(); }
  PausedChild(const PausedChild&) = delete;
  PausedChild& operator=(const PausedChild&) = delete;

  // Whether the child stands at the step (false: it finished or failed before it).
  bool Paused() const { return m_stopped; }
  // Lets it go on; true when it then finished cleanly.
  bool Resume() {
    if (m_pid <= 0) return false;
    [[maybe_unused]] const ssize_t n = ::write(m_resume[1], "r", 1);
    ::close(m_resume[1]);
    ::close(m_paused[0]);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  int m_paused[2] = {-1, -1}, m_resume[2] = {-1, -1};
  pid_t m_pid = -1;
  bool m_stopped = false;
};

// Dies at the `index`-th step, whatever its name.
inline KillPoint RunAndDieAtStep(int index, const std::function<void()>& body) {
  return RunAndDieWhere([index](const std::string&, int at) { return at == index; }, body);
}

// Kills `body` at each of its steps in turn, calling `arrange` before each run and `check`
// after it with the step it died at (a trace names it); ends with the run that finishes.
// Returns how many steps were tried.
inline int KillAtEveryStep(const std::function<void()>& arrange, const std::function<void()>& body,
                           const std::function<void(const KillPoint& died)>& check) {
  for (int index = 1;; ++index) {
    arrange();
    const KillPoint died = RunAndDieAtStep(index, body);
    SCOPED_TRACE(died ? "killed at step " + std::to_string(index) + " (" + died.step + ")"
                      : std::string("not killed: the run finished"));
    check(died);
    if (!died || ::testing::Test::HasFatalFailure()) return index - 1;
  }
}

}  // namespace brisko::test
