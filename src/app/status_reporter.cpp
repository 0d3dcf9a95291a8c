#include "app/status_reporter.h"

#include <dirent.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <set>

#include "app/failure_advice.h"
#include "camera/camera_source.h"
#include "engine/action/action.h"
#include "engine/base/run_support.h"
#include "engine/records/upload_queue.h"
#include "engine/shots/shots.h"
#include "support/file_spec_find.h"
#include "support/path_util.h"

namespace brisko {

namespace {

constexpr std::time_t kSpaceCheckSeconds = 30;
constexpr size_t kMaxDestinations = 64;
constexpr size_t kMaxTrackedActions = 1024;

std::string LocalDay(std::time_t now) {
  // Asked twice for every log line, mostly within the same second.
  thread_local std::time_t lastNow = -1;
  thread_local std::string lastDay;
  if (now != lastNow) {
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    lastDay.assign(text, std::strftime(text, sizeof text, "%Y-%m-%d", &tm));
    lastNow = now;
  }
  return lastDay;
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
    case kPrintFiles:
      return true;
    default:
      return false;
  }
}

}  // namespace

int CountSourcePhotos(const Action& action, std::vector<std::string>* names, size_t named) {
  constexpr int kMaxEntries = 20000;  // a huge folder is counted that far
  const std::string folder = TrimTrailingSeparators(action.m_strSourceFolder);
  if (folder.empty() || IsCameraSourceText(folder)) return 0;
  FileSpecFilter filter;
  std::string error;
  filter.SetSpecs(action.m_strFileSpec, action.m_strFileSpecExclude, action.m_bUseRegexFilespec != 0);
  filter.SetErrorSink(&error, nullptr);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int count = 0, entries = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (++entries > kMaxEntries) break;
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    const std::string name = e->d_name;
    if (name[0] == '.' || !filter.Passes(name, false)) continue;
    ++count;
    // The first names in order, as a card lists them.
    if (names && (names->size() < named || name < names->back())) {
      names->insert(std::upper_bound(names->begin(), names->end(), name), name);
      if (names->size() > named) names->pop_back();
    }
  }
  ::closedir(dir);
  return count;
}

StatusReporter::StatusReporter() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  m_board.SetThumbnails(&m_thumbnails);
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
  const bool failure = ClassifyLogLine(text) == LogLineKind::Failure;
  OnLogLine(text, now, failure, failure);
}

void StatusReporter::OnLogLine(const std::string& text, std::time_t now, bool failure, bool newFailure) {
  LogLineKind kind = ClassifyLogLine(text);
  if (kind == LogLineKind::Failure && !newFailure) kind = LogLineKind::Other;
  // A shot's JPEG, RAW and sidecars each write a line: the photo counts, and shows, once.
  std::vector<StatusPlacedPhoto> replaced;
  bool replace = false;
  // A checked copy's line ends in its mark, which is no part of the path.
  bool checked = false;
  if (kind == LogLineKind::Moved || kind == LogLineKind::Copied) {
    std::string_view body = SplitActionLine(text).body;
    if (body.ends_with(kCheckedMark)) {
      body.remove_suffix(kCheckedMark.size());
      checked = true;
    }
    const size_t to = body.rfind(" to ");
    const std::string placedAt =
        to == std::string_view::npos ? std::string() : std::string(body.substr(to + 4));
    const size_t slash = placedAt.find_last_of('/');
    const std::string name = slash == std::string::npos ? placedAt : placedAt.substr(slash + 1);
    if (!placedAt.empty() && IsSidecarName(name)) {
      kind = LogLineKind::Other;
    } else if (!placedAt.empty()) {
      const size_t dot = name.find_last_of('.');
      std::string key = placedAt.substr(0, slash + 1) + name.substr(0, dot);
      for (char& c : key) c = char(std::tolower(static_cast<unsigned char>(c)));
      auto seen = std::find_if(m_recentShots.begin(), m_recentShots.end(),
                               [&](const RecentShot& r) { return r.key == key; });
      if (seen != m_recentShots.end()) {
        kind = LogLineKind::Other;
        // The JPEG shows the shot where there is one.
        if (ShotKindOf(name) == ShotFileKind::Jpeg && ShotKindOf(seen->shown) != ShotFileKind::Jpeg) {
          if (m_server) replaced = m_thumbnails.Replace(seen->shown, placedAt);
          replace = m_server != nullptr;
          seen->shown = placedAt;
        }
      } else {
        m_recentShots.push_front({key, placedAt});
        if (m_recentShots.size() > 64) m_recentShots.pop_back();
      }
    }
  }
  if (kind == LogLineKind::Moved || kind == LogLineKind::Copied || kind == LogLineKind::Deleted ||
      kind == LogLineKind::PictureMade || kind == LogLineKind::Printed) {
    const std::string_view description = SplitActionLine(text).description;
    auto known = m_actionStats.find(description);
    if (known == m_actionStats.end() && !description.empty() && m_actionStats.size() < kMaxTrackedActions)
      known = m_actionStats.emplace(std::string(description), ActionStats{}).first;
    if (known != m_actionStats.end()) {
      ActionStats& stats = known->second;
      const std::string day = LocalDay(now);
      if (stats.day != day) {
        stats.day = day;
        stats.photosToday = 0;
      }
      stats.lastSuccess = now;
      ++stats.photosToday;
    }
  }
  std::vector<StatusPlacedPhoto> placed;
  const bool place =
      m_server &&
      (kind == LogLineKind::Moved || kind == LogLineKind::Copied || kind == LogLineKind::PictureMade ||
       (kind == LogLineKind::Printed && text.find(", moved to ") != std::string::npos));
  if (place) {
    // "... from SOURCE to PLACED": the photo as it now lies.
    const ActionLineParts parts = SplitActionLine(text);
    const size_t to = parts.body.rfind(" to ");
    if (to != std::string_view::npos) {
      std::string_view name = parts.description;
      if (const size_t bracket = name.rfind(" ("); bracket != std::string_view::npos)
        name = name.substr(0, bracket);
      std::string_view at = parts.body.substr(to + 4);
      if (checked) at.remove_suffix(kCheckedMark.size());
      placed = m_thumbnails.Add(std::string(at), std::string(name), now);
    }
  }
  m_board.Update([&](StatusSnapshot& s) {
    RollDay(s, now);
    if (replace) s.placed = std::move(replaced);
    // Newest first, but a reason stays below the line it explains.
    StatusLogLine line{now, PlainLogText(text), failure || newFailure};
    if (IsFollowUpLine(text) && m_followUps + 1 <= s.log.size()) {
      s.log.insert(s.log.begin() + std::ptrdiff_t(m_followUps + 1), std::move(line));
      ++m_followUps;
    } else {
      s.log.push_front(std::move(line));
      m_followUps = 0;
    }
    if (!placed.empty()) s.placed = std::move(placed);
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
      case LogLineKind::Printed:
        s.today.pagesPrinted += PrintedCopies(text);
        break;
      case LogLineKind::Failure:
        ++s.today.failures;
        break;
      case LogLineKind::Other:
        break;
    }
    if (checked && (kind == LogLineKind::Moved || kind == LogLineKind::Copied)) ++s.today.checked;
  });
}

void StatusReporter::OnActionRun(const std::string& description, std::time_t now) {
  if (m_actionStats.size() < kMaxTrackedActions || m_actionStats.count(description))
    m_actionStats[description].lastRun = now;
  if (m_runDepth++ > 0) return;
  m_busySince = now;
  m_board.Update([&](StatusSnapshot& s) {
    s.busy = StatusBusy{};
    s.busy.action = description;
    s.busy.runSince = now;
  });
}

void StatusReporter::OnActionRunEnd() {
  if (m_runDepth == 0 || --m_runDepth > 0) return;
  m_busySince = 0;
  m_board.Update([](StatusSnapshot& s) { s.busy = StatusBusy{}; });
}

void StatusReporter::OnProgramWait(const ProgramWait* wait, std::time_t now) {
  m_board.Update([&](StatusSnapshot& s) {
    if (wait) {
      if (s.busy.action.empty()) s.busy.action = wait->action;
      s.busy.program = wait->program;
      s.busy.file = wait->file;
      s.busy.waitSince = now;
    } else {
      s.busy.program.clear();
      s.busy.file.clear();
      s.busy.waitSince = 0;
    }
  });
}

void StatusReporter::RefreshHeldUp(const std::vector<std::unique_ptr<Action>>& actions, std::time_t now) {
  // Only once a run has taken a while: a card's listing is not free.
  if (!m_server || m_runDepth == 0 || now - m_busySince < kStuckSeconds / 3) return;
  if (now >= m_lastHeldUpCheck && now - m_lastHeldUpCheck < kSpaceCheckSeconds) return;
  m_lastHeldUpCheck = now;
  std::vector<std::string> names;
  int count = 0;
  std::set<std::string> seen;
  for (const auto& action : actions) {
    if (!action->m_bEnabled || (action->m_iType != kMoveFiles && action->m_iType != kMoveFilesFromMedia))
      continue;
    if (!seen.insert(TrimTrailingSeparators(action->m_strSourceFolder)).second) continue;
    count += CountSourcePhotos(*action, &names, 3);
  }
  m_board.Update([&](StatusSnapshot& s) {
    s.busy.heldUp = std::move(names);
    s.busy.heldUpCount = count;
  });
}

void StatusReporter::PublishActions(const std::vector<std::unique_ptr<Action>>& actions,
                                    const std::vector<FailingItem>& failing,
                                    const std::map<std::string, std::string>& sourceNotes, std::time_t now,
                                    const std::map<std::string, std::string>& sourcesShown) {
  if (!m_server) return;
  const std::string today = LocalDay(now);
  std::vector<StatusActionRow> rows;
  std::map<std::string, std::string> names;  // description -> name
  for (const auto& action : actions) {
    if (rows.size() >= kMaxDestinations) break;
    const std::string description = action->GetDescription();
    names[description] = action->m_strName;
    StatusActionRow row;
    row.name = action->m_strName;
    row.type = ActionTypeName(action->m_iType);
    row.schedule = ScheduleTypeName(action->m_iScheduleType);
    row.enabled = action->m_bEnabled != 0;
    row.source = action->m_strSourceFolder;
    if (auto shown = sourcesShown.find(description); shown != sourcesShown.end()) row.source = shown->second;
    if (action->m_iType == kUploadFiles) {
      const UploadStatus upload = action->MakeRun().UploadState();
      row.upload = "to " + upload.remote + ": " + UploadSummary(upload, now);
      row.uploadLate = upload.late;
    }
    if (auto note = sourceNotes.find(description); note != sourceNotes.end()) {
      row.sourceNote = note->second;
      row.sourceIdle = note->second == kNoCardInNote;
    }
    if (auto stats = m_actionStats.find(description); stats != m_actionStats.end()) {
      row.lastRun = stats->second.lastRun;
      row.lastSuccess = stats->second.lastSuccess;
      row.photosToday = stats->second.day == today ? stats->second.photosToday : 0;
    }
    for (const FailingItem& f : failing) {
      if (f.description != description) continue;
      if (row.failingPhotos++ == 0) {
        row.failingSince = f.since;
        row.failingWhy = f.reason;
      }
    }
    rows.push_back(std::move(row));
  }
  // Failures grouped by action and reason, each group on one line.
  std::vector<StatusFailureGroup> groups;
  for (const FailingItem& f : failing) {
    auto name = names.find(f.description);
    const std::string action = name != names.end() ? name->second : f.description;
    auto g = std::find_if(groups.begin(), groups.end(), [&](const StatusFailureGroup& x) {
      return x.action == action && x.reason == f.reason;
    });
    if (g == groups.end()) {
      if (groups.size() >= kMaxDestinations) continue;
      groups.push_back({action, f.reason, f.file, 0, 0, f.since, {}, FailureAdvice(f)});
      g = groups.end() - 1;
    } else {
      g->file.clear();
    }
    if (!f.file.empty() && g->files.size() < 3)
      g->files.push_back(f.file.substr(f.file.find_last_of('/') + 1));
    ++g->photos;
    g->tries += f.tries;
    g->since = std::min(g->since, f.since);
  }
  m_board.Update([&](StatusSnapshot& s) {
    s.actions = std::move(rows);
    s.failures = std::move(groups);
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

void StatusReporter::OnPrinters(std::vector<PrinterSnapshot> printers) {
  if (printers == m_printers) return;
  m_printers = printers;
  m_board.Update([&](StatusSnapshot& s) { s.printers = std::move(printers); });
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
