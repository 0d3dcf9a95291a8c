#include "app/status_reporter.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <ctime>
#include <set>

#include "engine/action.h"

namespace brisko {

namespace {

constexpr std::time_t kSpaceCheckSeconds = 30;
constexpr size_t kMaxDestinations = 64;

std::string LocalDay(std::time_t now) {
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d", &tm));
}

// A new day starts its counts afresh.
void RollDay(StatusSnapshot& s, std::time_t now) {
  std::string day = LocalDay(now);
  if (s.day != day) {
    s.day = std::move(day);
    s.today = StatusCounts{};
  }
}

bool HasDestination(const Action& action) {
  switch (action.m_iType) {
    case kMoveFiles:
    case kCopyFiles:
    case kMoveFilesFromMedia:
    case kMoveSubfolders:
    case kCopySubfolders:
    case kCreateImageWithPlt:
      return true;
    default:
      return false;
  }
}

}  // namespace

StatusReporter::StatusReporter() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  m_board.Update([&](StatusSnapshot& s) {
    s.name = "Brisko Event File Workflow";
    s.host = host;
    s.version = BRISKO_VERSION;
  });
}

StatusReporter::~StatusReporter() {
  m_server.reset();
}

void StatusReporter::OnLogLine(const std::string& text, std::time_t now) {
  const LogLineKind kind = ClassifyLogLine(text);
  m_board.Update([&](StatusSnapshot& s) {
    RollDay(s, now);
    s.log.push_front(StatusLogLine{now, text, kind == LogLineKind::Failure});
    if (s.log.size() > kStatusLogLines) s.log.pop_back();
    switch (kind) {
      case LogLineKind::Moved:
        ++s.today.moved;
        break;
      case LogLineKind::Copied:
        ++s.today.copied;
        break;
      case LogLineKind::Deleted:
        ++s.today.deleted;
        break;
      case LogLineKind::Rotated:
        ++s.today.rotated;
        break;
      case LogLineKind::PictureMade:
        ++s.today.picturesMade;
        break;
      case LogLineKind::Failure:
        ++s.today.failures;
        break;
      case LogLineKind::Other:
        break;
    }
  });
}

void StatusReporter::Count(std::time_t now, int StatusCounts::*field) {
  m_board.Update([&](StatusSnapshot& s) {
    RollDay(s, now);
    ++(s.today.*field);
  });
}

void StatusReporter::CountTagged(std::time_t now) {
  Count(now, &StatusCounts::tagged);
}

void StatusReporter::CountRotated(std::time_t now) {
  Count(now, &StatusCounts::rotated);
}

void StatusReporter::OnProgress(const std::string& action, int position, int range, const std::string& text) {
  m_state = StationState::Running;
  m_board.Update([&](StatusSnapshot& s) {
    s.state = StationState::Running;
    s.action = action;
    s.progressPosition = position;
    s.progressRange = range;
    s.progressText = text;
  });
}

void StatusReporter::OnState(StationState state) {
  // Asked every second; readers re-render only when something changed.
  if (state == m_state) return;
  m_state = state;
  m_board.Update([&](StatusSnapshot& s) {
    s.state = state;
    if (state != StationState::Running) {
      s.action.clear();
      s.progressText.clear();
      s.progressPosition = s.progressRange = 0;
    }
  });
}

void StatusReporter::OnPassEnd(std::time_t now) {
  m_board.Update([&](StatusSnapshot& s) {
    RollDay(s, now);
    s.lastPass = now;
  });
}

void StatusReporter::RefreshDestinations(const std::vector<std::unique_ptr<Action>>& actions, std::time_t now,
                                         bool force) {
  if (!m_server) return;
  if (!force && now >= m_lastSpaceCheck && now - m_lastSpaceCheck < kSpaceCheckSeconds) return;
  m_lastSpaceCheck = now;
  std::vector<StatusDestination> list;
  std::set<std::string> seen;
  for (const auto& action : actions) {
    if (!action->m_bEnabled || !HasDestination(*action) || action->m_strDestFolder.empty()) continue;
    if (!seen.insert(action->m_strDestFolder).second) continue;
    if (list.size() >= kMaxDestinations) break;
    StatusDestination d;
    d.action = action->m_strName;
    d.folder = action->m_strDestFolder;
    struct statvfs fs {};
    if (statvfs(d.folder.c_str(), &fs) == 0) {
      d.known = true;
      d.freeBytes = uint64_t(fs.f_bavail) * fs.f_frsize;
      d.totalBytes = uint64_t(fs.f_blocks) * fs.f_frsize;
      d.low = IsLowSpace(d.freeBytes, d.totalBytes);
    }
    list.push_back(std::move(d));
  }
  m_board.Update([&](StatusSnapshot& s) { s.destinations = std::move(list); });
}

bool StatusReporter::Restart(const StatusPageConfig& config, std::string* error) {
  m_server.reset();
  if (!config.enabled) return true;
  if (!m_starter) {
    if (error) *error = "this build has no status page";
    return false;
  }
  m_server = m_starter(config, m_board, error);
  m_lastSpaceCheck = 0;
  return m_server != nullptr;
}

std::string StatusReporter::Url() const {
  return m_server ? m_server->Url() : std::string();
}

}  // namespace brisko
