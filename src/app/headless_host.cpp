#include "app/headless_host.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "app/action_commands.h"
#include "app/instance_channel.h"
#include "app/station.h"
#include "support/logger.h"

namespace brisko {

namespace {

int g_signalPipe[2] = {-1, -1};
constexpr auto kOutDelay = std::chrono::milliseconds(1000);
constexpr size_t kMaxOutPending = 64 * 1024;

void OnSignal(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool InstallShutdownSignals() {
  // A reader of our stdout going away must not end the station before it has saved.
  signal(SIGPIPE, SIG_IGN);
  if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

int ShutdownSignalFd() {
  return g_signalPipe[0];
}

bool DrainShutdownSignals() {
  bool any = false;
  char buf[64];
  while (g_signalPipe[0] >= 0 && read(g_signalPipe[0], buf, sizeof buf) > 0) any = true;
  return any;
}

PaperAnswer HandleInstanceRequest(Station& station, const InstanceRequest& request) {
  switch (request.kind) {
    case InstanceRequest::Raise:
      break;
    case InstanceRequest::Command:
      station.ExecuteCommand(request.command - 1);
      break;
    case InstanceRequest::Barcode:
      station.OnBarcodeText(request.text);
      break;
    case InstanceRequest::PaperLoaded: {
      const std::optional<PaperLoad> load = ParsePaperLoad(request.text);
      if (!load) return {false, "cannot read the paper load " + request.text};
      PaperAnswer answer;
      answer.ok = station.PaperLoaded(*load, &answer.text);
      return answer;
    }
    case InstanceRequest::Actions:
      AnswerInstanceRequest(station, request);
      break;
  }
  return {};
}

InstanceAnswer AnswerInstanceRequest(Station& station, const InstanceRequest& request) {
  const ActionsReply reply = RunActionsCommand(station, request.args, true);
  return InstanceAnswer{reply.exitCode, reply.out, reply.err};
}

void HeadlessHost::Run() {
  while (!m_quit) ProcessOnce(1000);
  FlushOutput();
}

void HeadlessHost::StartLoopTimer(int periodMs) {
  auto period = std::chrono::milliseconds(periodMs);
  m_loopTimer = Timer{Clock::now() + period, period};
}

void HeadlessHost::StopLoopTimer() {
  m_loopTimer.reset();
}

bool HeadlessHost::StartActionTimer(unsigned id, int64_t delayMs) {
  auto period = std::chrono::milliseconds(std::max<int64_t>(delayMs, 0));
  m_actionTimers[id] = Timer{Clock::now() + period, period};
  return true;
}

void HeadlessHost::StopActionTimer(unsigned id) {
  m_actionTimers.erase(id);
}

void HeadlessHost::DispatchPendingEvents() {
  const auto now = Clock::now();
  if (now - m_lastDispatch < std::chrono::milliseconds(kDispatchEveryMs)) return;
  m_lastDispatch = now;
  ProcessOnce(0);
}

void HeadlessHost::ShowLogLine(const std::string& text) {
  const auto now = Clock::now();
  if (m_outPending.empty()) m_outSince = now;
  m_outPending += text;
  m_outPending += '\n';
  if (IsFailureLine(text) || m_outPending.size() >= kMaxOutPending || now - m_outSince >= kOutDelay)
    FlushOutput();
}

void HeadlessHost::FlushOutput() {
  if (m_outPending.empty()) return;
  // A reader that went away (SIGPIPE is ignored) only loses the lines.
  std::fwrite(m_outPending.data(), 1, m_outPending.size(), m_out);
  std::fflush(m_out);
  m_outPending.clear();
}

void HeadlessHost::ProcessOnce(int maxWaitMs) {
  auto now = Clock::now();
  // About to wait: nothing is left unsaid meanwhile. Inside runs only once a second.
  if (maxWaitMs > 0 || now - m_outSince >= kOutDelay) FlushOutput();
  int waitMs = maxWaitMs;
  auto shorten = [&](Clock::time_point due) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    waitMs = static_cast<int>(std::clamp<int64_t>(ms, 0, waitMs));
  };
  if (m_loopTimer) shorten(m_loopTimer->due);
  for (auto& [id, timer] : m_actionTimers) shorten(timer.due);

  pollfd fds[2];
  nfds_t count = 0;
  if (g_signalPipe[0] >= 0) fds[count++] = {g_signalPipe[0], POLLIN, 0};
  const nfds_t serverSlot = count;
  if (m_server && m_server->Fd() >= 0) fds[count++] = {m_server->Fd(), POLLIN, 0};
  int r = poll(fds, count, waitMs);
  if (r < 0 && errno != EINTR) return;

  if (r > 0 && g_signalPipe[0] >= 0 && (fds[0].revents & POLLIN)) {
    DrainShutdownSignals();
    if (m_station && !m_station->ShutdownRequested()) m_station->RequestShutdown();
  }
  if (r > 0 && serverSlot < count && (fds[serverSlot].revents & POLLIN)) {
    auto answer = [this](const InstanceRequest& request) {
      return m_station ? AnswerInstanceRequest(*m_station, request) : InstanceAnswer{1, "", "no station\n"};
    };
    auto handleNow = [this](const InstanceRequest& r) {
      return m_station ? HandleInstanceRequest(*m_station, r) : PaperAnswer{};
    };
    if (auto request = m_server->AcceptOne(answer, handleNow); request && m_station)
      HandleInstanceRequest(*m_station, *request);
  }

  // Timers may start or stop each other while they run: look each one up again before firing.
  now = Clock::now();
  if (m_loopTimer && m_loopTimer->due <= now) {
    m_loopTimer->due = now + m_loopTimer->period;
    if (m_station) m_station->OnLoopTimer();
  }
  std::vector<unsigned> due;
  for (auto& [id, timer] : m_actionTimers)
    if (timer.due <= now) due.push_back(id);
  for (unsigned id : due) {
    auto it = m_actionTimers.find(id);
    if (it == m_actionTimers.end() || it->second.due > now) continue;
    it->second.due = now + it->second.period;
    if (m_station) m_station->OnActionTimer(id);
  }
}

}  // namespace brisko
