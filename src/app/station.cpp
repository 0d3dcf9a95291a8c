#include "app/station.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

#include "camera/camera_pool.h"
#include "camera/camera_source.h"
#include "engine/base/card_source.h"
#include "engine/base/run_support.h"
#include "engine/printing/print_desk.h"
#include "engine/printing/print_record.h"
#include "engine/records/move_journal.h"
#include "engine/records/recovery.h"
#include "engine/records/upload_queue.h"
#include "imagemeta/jpeg_exif_file.h"
#include "scheduler/barcode.h"
#include "support/heap.h"
#include "support/path_util.h"

namespace brisko {

namespace {

const std::string kBanner(198, '-');
constexpr const char* kOutOfReachNote =
    "No photos taken: the camera keeps its photos in subfolders and the action does not include subfolders";

// 0: nothing there; S_IFDIR, S_IFREG...: what is.
mode_t KindAt(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}
// How early a Time action's timer may fire and still run (timers are never exact).
constexpr std::time_t kTimeActionEarlySeconds = 60;

std::string CountdownLine(int seconds) {
  return "Actions starting in " + std::to_string(seconds) + "s...";
}

// Local midnight-relative moment hour:minute:00 on the date of `day` (any time that day);
// mktime decides daylight saving for that date and normalises a day past the month's end.
std::time_t LocalTimeOnDay(std::time_t day, int dayOffset, unsigned hour, unsigned minute) {
  std::tm tm{};
  localtime_r(&day, &tm);
  tm.tm_mday += dayOffset;
  tm.tm_hour = static_cast<int>(hour);
  tm.tm_min = static_cast<int>(minute);
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

}  // namespace

// Marks a run in progress (g_bActionsRunning) for its lifetime; the outermost one releases
// the actions retired while it ran.
class Station::RunScope {
 public:
  explicit RunScope(Station& station) : m_station(station) {
    ++m_station.m_runDepth;
    m_station.m_values.g_bActionsRunning = true;
  }
  ~RunScope() {
    if (--m_station.m_runDepth == 0) {
      m_station.m_values.g_bActionsRunning = false;
      m_station.m_retired.clear();
      // The station may idle for long now (no loop timer outside continuous runs).
      m_station.m_logger.Tick(0);
      ReleaseKeptHeap();
    }
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  Station& m_station;
};

Station::Station(Host& host) : m_host(host), m_logger(&m_store) {
  for (int i = 0; i < kNumCommands; ++i) m_commandNames[size_t(i)] = DefaultCommandName(i);
}

Station::~Station() {
  SetExifNoticeHook(nullptr);
  ClearActions();
  m_retired.clear();
  m_logger.SetNoteFilter(nullptr);  // it asks m_failures, which goes first
}

RcloneDaemon* Station::Uploader() {
  if (!m_rclone) {
    RcloneDaemon::Options options;
    options.configFile = m_store.GetProfileString("Settings", "m_strRcloneConfig", "");
    m_rclone = std::make_unique<RcloneDaemon>(std::move(options));
  }
  return m_rclone.get();
}

bool Station::Init(const std::string& storePath, std::string* report, SettingsStore::Creation creation) {
  m_store.SetCompanyName("Brisko Pty Ltd");
  m_store.SetApplicationName("BriskoFileWorkflow");
  bool ok = m_store.Open(storePath, report, creation);
  m_logger.Init();
  // A file's own notes (its error text beside a failed move) repeat with every try, as its
  // failure line would: they are written while the failure is new, like the line.
  m_logger.SetNoteFilter([this](int, const std::string& file) { return !m_failures.IsFailing(file); });
  // The EXIF writer's notices (a block rewritten whole, a rewrite that failed its check).
  SetExifNoticeHook([this](int level, const std::string& text, const std::string& path) {
    m_logger.Log(level, text, path);
  });
  m_countdown = kStartupCountdown;
  m_bEnableBarcodeEntry = 0;
  m_bEnableOperatorSelectedText = 0;
  return ok;
}

void Station::Open() {
  m_bRunContinuously = true;
  LoadSettings();
  RecoverInterruptedMoves();  // also says at start, not at the first move, when the temp folder is unusable
  m_dialogDepth = 0;
  StartStatusPage();
  PublishState();
  m_host.StartLoopTimer(kLoopPeriodMs);
}

void Station::RecoverInterruptedMoves() {
  const std::string temp = ResolveTempFolder(*this);
  SweepTempLeftovers(temp);
  for (const auto& action : m_actions) {
    if (action->m_iType == kMoveFiles || action->m_iType == kMoveFilesFromMedia ||
        action->m_iType == kMoveSubfolders)
      action->MakeRun().RecoverInterruptedMoves();
  }
  MoveRecovery orphans;
  orphans.anyOwner = true;
  orphans.log = [this](const std::string& text) { AddToLog(text); };
  const CameraRecovery cameras = CameraRecoveryOf(*this);
  const PrintRecovery prints = PrintRecoveryOf(temp);
  RecoverAll(temp, orphans, &cameras, &prints);
  // What dead writers left (hidden copies, downloads, the rotator's scratch) and no record names.
  SweepDeadLeftovers(temp, temp, false);
  std::set<std::string> destinations;
  for (const auto& action : m_actions) {
    if (!TrimTrailingSeparators(action->m_strDestFolder).empty())
      destinations.insert(action->m_strDestFolder);
  }
  for (const std::string& folder : destinations) SweepDeadLeftovers(temp, folder, true);
}

PrintRecovery Station::PrintRecoveryOf(const std::string& temp) {
  // A record is settled by the Print Files action printing its file's folder (by the one of its
  // own name first); while that action is disabled it waits. Without any, it is an orphan.
  auto owner = [this](const PrintRecord& record) {
    Action* found = nullptr;
    for (const auto& action : m_actions) {
      if (action->m_iType != kPrintFiles || !action->MakeRun().OwnsPrintRecord(record.file)) continue;
      if (!found || action->m_strName == record.action) found = action.get();
    }
    return found;
  };
  PrintRecovery how;
  how.desk = [this, temp]() -> PrintDesk& { return PrintDeskOf(m_values, temp); };
  how.settle = [owner](const PrintRecord& record) {
    Action* action = owner(record);
    if (action && action->m_bEnabled) action->MakeRun().SettlePrint(record);
    return action != nullptr;
  };
  how.orphaned = [owner](const PrintRecord& record) { return owner(record) == nullptr; };
  how.log = [this](const std::string& text) { AddToLog(text); };
  return how;
}

void Station::RecoverOrphanedMoves() {
  // The records of the move actions are finished by their own runs; those of actions that are
  // gone (deleted, renamed, no longer moving) here, at each pass.
  std::set<std::string> movers;
  for (const auto& action : m_actions) {
    if (action->m_iType == kMoveFiles || action->m_iType == kMoveFilesFromMedia ||
        action->m_iType == kMoveSubfolders)
      movers.insert(action->m_strName);
  }
  MoveRecovery orphans;
  orphans.mine = [&movers](const std::string& action) { return movers.count(action) == 0; };
  orphans.log = [this](const std::string& text) { AddToLog(text); };
  const CameraRecovery cameras = CameraRecoveryOf(*this);
  const std::string temp = ResolveTempFolder(*this);
  const PrintRecovery prints = PrintRecoveryOf(temp);
  RecoverAll(temp, orphans, &cameras, &prints);
  SweepDeadLeftovers(temp, temp, false);
}

// ---- RunHost ----

void Station::AddToLog(const std::string& text) {
  static const std::string kNone;
  const std::string& running = m_running.empty() ? kNone : m_running.back();
  for (const FailureLog::Line& line : m_failures.Filter(text, m_host.Now(), running)) WriteLogLine(line);
}

void Station::WriteLogLine(const FailureLog::Line& line) {
  m_status.OnLogLine(line.text, m_host.Now(), line.failure, line.newFailure);
  m_host.ShowLogLine(line.text);
  m_logger.Log(2, line.text);
}

void Station::FlushFailureLines() {
  for (const FailureLog::Line& line : m_failures.Flush(m_host.Now())) WriteLogLine(line);
}

void Station::PublishActions() {
  if (!m_status.IsRunning()) return;
  m_sourceNotes.clear();
  // "card:" shows the cards in.
  std::string cards;
  for (const CardVolume& card : m_cardsIn) {
    cards += cards.empty() ? " " : ", ";
    cards += CardTitle(card);
  }
  std::map<std::string, std::string> shown;
  for (const auto& action : m_actions) {
    std::string note = SourceNote(*action);
    if (!note.empty()) m_sourceNotes[action->GetDescription()] = std::move(note);
    if (!cards.empty() && IsCardSourceText(action->m_strSourceFolder))
      shown[action->GetDescription()] = action->m_strSourceFolder + cards;
  }
  m_status.PublishActions(m_actions, m_failures.Failing(), m_sourceNotes, m_host.Now(), shown);
}

bool Station::CameraPhotosOutOfReach(const Action& action) {
  if (action.m_iType == kMoveFilesFromMedia || action.m_bIncludeSubFolders || !m_values.m_cameras)
    return false;
  const std::optional<CameraSource> source = ParseCameraSource(action.m_strSourceFolder);
  if (!source) return false;
  const CameraListing& listing = m_values.m_cameras->Listing(*source);
  if (!listing.valid) return false;
  bool top = false, below = false;
  for (const CameraListing::File& f : listing.files) (f.folder == "/" ? top : below) = true;
  return below && !top;
}

void Station::NoteCameraReach(const Action& action) {
  if (!IsCameraSourceText(action.m_strSourceFolder)) return;
  const std::string description = action.GetDescription();
  if (!CameraPhotosOutOfReach(action)) {
    m_outOfReachSaid.erase(description);
  } else if (m_outOfReachSaid.insert(description).second) {
    AddToLog(description + " " + kOutOfReachNote);
  }
}

std::string Station::SourceNote(const Action& action) {
  const std::string& text = action.m_strSourceFolder;
  if (text.empty() || action.m_iType == kCreateImageWithPlt) return {};
  if (IsCardSourceText(text)) return m_cardsIn.empty() ? kNoCardInNote : "";
  if (!IsCameraSourceText(text)) return KindAt(text) == S_IFDIR ? "" : "not present";
  const std::optional<CameraSource> source = ParseCameraSource(text);
  if (!source) return "not a camera name";
  if (source->kind == CameraSource::Kind::Disk) {
    const mode_t kind = KindAt(source->port.substr(5));
    if (kind != S_IFDIR)
      return "Camera not found: " + source->Text() + (kind ? " (not a folder)" : " (no such folder)");
  }
  if (!m_values.m_cameras || !m_values.m_cameras->Present(*source)) return "camera not connected";
  return CameraPhotosOutOfReach(action) ? kOutOfReachNote : "";
}

void Station::SetProgress(int position, int range, const std::string& actionText,
                          const std::string& statusText) {
  m_status.OnProgress(actionText, position, range, statusText);
  m_host.ShowProgress(position, range, actionText, statusText);
  DispatchPendingEvents();
}

void Station::NotePhotoStep(PhotoStep step) {
  if (step == PhotoStep::Tagged) {
    m_status.CountTagged(m_host.Now());
  } else {
    m_status.CountRotated(m_host.Now());
  }
}

void Station::OnProgramWait(const ProgramWait* wait) {
  m_status.OnProgramWait(wait, m_host.Now());
}

void Station::DispatchPendingEvents() {
  m_logger.Tick();
  m_status.RefreshHeldUp(m_actions, m_host.Now());
  m_host.DispatchPendingEvents();
}

void Station::KillActionTimer(uint32_t timerHandle) {
  m_host.StopActionTimer(timerHandle);
  m_timerTargets.erase(timerHandle);
}

// ---- Settings and the action list ----

void Station::LoadSettings() {
  m_values.m_iFileCounter = m_store.GetProfileInt("Actions", "m_iFileCounter", 1);
  m_values.m_iBatchCounter = m_store.GetProfileInt("Actions", "m_iBatchCounter", 1);
  // The temp folder is read before the actions (not after, as it used to be) so that actions
  // made while loading default to the configured folder rather than creating the built-in one.
  m_values.m_TempPath = m_store.GetProfileString("Settings", "m_TempPath", kDefaultTempPath);
  LoadActions();
  RefillOperatorTexts(false);
  m_commandNames = LoadCommandNames(m_store);
  m_bEnableBarcodeEntry = m_store.GetProfileInt("Settings", "m_bEnableBarcodeEntry", 0);
  m_bEnableOperatorSelectedText = m_store.GetProfileInt("Settings", "m_bEnableOperatorSelectedText", 0);
}

void Station::LoadActions() {
  ClearActions();
  int n = m_store.GetProfileInt("Actions", "NumActions", 0);
  if (n < 0 || n > kMaxStoredActions) {
    // A damaged count: take the sections that are there instead of billions that are not.
    AddToLog("NumActions " + std::to_string(n) + " is outside 0 to " + std::to_string(kMaxStoredActions) +
             "; loading the stored actions");
    n = 0;
    while (n < kMaxStoredActions && m_store.SectionExists(ActionSectionName(n))) ++n;
  }
  for (int i = 0; i < n; ++i) {
    auto action = std::make_unique<Action>(*this);
    action->Load(i);
    ArmSchedule(*action);
    m_actions.push_back(std::move(action));
  }
}

void Station::DeleteActionSectionsFrom(int first) {
  for (int i = first; i >= 0; ++i) {
    std::string section = ActionSectionName(i);
    if (!m_store.SectionExists(section)) break;
    m_store.DeleteSection(section);
  }
}

void Station::SaveActions() {
  for (size_t i = 0; i < m_actions.size(); ++i) m_actions[i]->Save(static_cast<int>(i));
  m_store.WriteProfileInt("Actions", "NumActions", static_cast<int>(m_actions.size()));
  DeleteActionSectionsFrom(static_cast<int>(m_actions.size()));
}

void Station::AppendAction(std::unique_ptr<Action> action) {
  m_actions.push_back(std::move(action));
  ++m_listGeneration;
}

void Station::RemoveAction(size_t index) {
  if (index >= m_actions.size()) return;
  std::unique_ptr<Action> action = std::move(m_actions[index]);
  m_actions.erase(m_actions.begin() + static_cast<std::ptrdiff_t>(index));
  ++m_listGeneration;
  RetireAction(std::move(action));
}

void Station::MoveAction(size_t from, size_t to) {
  if (from >= m_actions.size() || to >= m_actions.size() || from == to) return;
  std::unique_ptr<Action> action = std::move(m_actions[from]);
  m_actions.erase(m_actions.begin() + static_cast<std::ptrdiff_t>(from));
  m_actions.insert(m_actions.begin() + static_cast<std::ptrdiff_t>(to), std::move(action));
  ++m_listGeneration;
}

void Station::ApplyEditedAction(size_t index, std::unique_ptr<Action> edited) {
  if (index >= m_actions.size()) return;
  Action& listed = *m_actions[index];
  if (m_inRun.count(&listed) == 0) {
    listed.CopyFrom(*edited);
    ArmSchedule(listed);
    return;
  }
  edited->m_tLastRun = listed.m_tLastRun;
  std::unique_ptr<Action> running = std::move(m_actions[index]);
  m_actions[index] = std::move(edited);
  ++m_listGeneration;
  RetireAction(std::move(running));
  ArmSchedule(*m_actions[index]);
}

void Station::ClearActions() {
  if (m_actions.empty()) return;
  ++m_listGeneration;
  std::vector<std::unique_ptr<Action>> old;
  old.swap(m_actions);
  for (auto& action : old) RetireAction(std::move(action));
}

void Station::StopTimerOf(Action& action) {
  if (action.m_uiTimerHandle != 0) {
    KillActionTimer(action.m_uiTimerHandle);
    action.m_uiTimerHandle = 0;
  }
}

void Station::RetireAction(std::unique_ptr<Action> action) {
  StopTimerOf(*action);
  if (m_runDepth > 0) m_retired.push_back(std::move(action));
}

bool Station::IsListed(const Action* action) const {
  return std::any_of(m_actions.begin(), m_actions.end(), [&](const auto& a) { return a.get() == action; });
}

void Station::ArmSchedule(Action& action, std::time_t notBefore) {
  switch (action.m_iScheduleType) {
    case kScheduleTime: {
      StopTimerOf(action);
      action.m_bRunPending = 0;
      // The editor stores 0xFFFFFFFF when it held no valid time: such an action stays unarmed.
      if (action.m_uiScheduleTime > 23 || action.m_uiScheduleTimeMins > 59) return;
      const std::time_t now = m_host.Now();
      // After a timer run, never arm for the moment just served, even if the timer came early.
      const std::time_t base = std::max(now, notBefore);
      std::time_t target = LocalTimeOnDay(base, 0, action.m_uiScheduleTime, action.m_uiScheduleTimeMins);
      for (int day = 1; target <= base && day <= 3; ++day)
        target = LocalTimeOnDay(base, day, action.m_uiScheduleTime, action.m_uiScheduleTimeMins);
      if (target <= base) return;
      if (m_host.StartActionTimer(action.m_uiTimerId, (int64_t(target) - int64_t(now)) * 1000)) {
        action.m_uiTimerHandle = action.m_uiTimerId;
        m_timerTargets[action.m_uiTimerId] = target;
      }
      break;
    }
    case kScheduleShutdown:
    case kScheduleBarcodeScan:
      action.m_bRunPending = 0;
      break;
    case kScheduleContinuous:
    case kScheduleInterval:
    case kScheduleStartup:
    case kScheduleOnCommand:
      action.m_bRunPending = 1;
      break;
    default:
      break;
  }
}

// ---- Runs ----

bool Station::RunOne(Action& action) {
  if (m_inRun.count(&action)) return false;
  m_inRun.insert(&action);
  // Mirrors the action's entry test, which says nothing to its caller: only a run that does its
  // work shows which of its failures are over.
  const std::time_t now = m_host.Now();
  const bool starts = action.m_bEnabled && action.m_bRunPending && m_values.g_nShellOperationDepth == 0 &&
                      (action.m_iScheduleType != kScheduleInterval ||
                       (int64_t(now) - action.m_tLastRun) / 60 >= int64_t(action.m_uiRunInterval));
  const std::string description = action.GetDescription();
  if (starts) {
    m_failures.BeginRun(description);
    m_status.OnActionRun(description, now);
  }
  m_running.push_back(description);
  bool result = m_runner ? m_runner(action) : action.Run();
  FlushFailureLines();
  m_running.pop_back();
  if (starts) NoteCameraReach(action);
  if (starts) m_failures.EndRun(description);
  if (starts) m_status.OnActionRunEnd();
  m_inRun.erase(&action);
  PublishState();
  return result;
}

void Station::Walk(bool stopOnShutdown, const std::function<void(Action&)>& each) {
  const uint64_t generation = m_listGeneration;
  for (size_t i = 0; i < m_actions.size(); ++i) {
    if (generation != m_listGeneration || IsDialogOpen()) break;
    if (stopOnShutdown && m_bShutdownRequested) break;
    each(*m_actions[i]);
  }
}

void Station::WatchPrinters() {
  std::set<std::string> queues;
  for (const auto& action : m_actions) {
    if (action->m_iType == kPrintFiles && action->m_bEnabled) queues.insert(action->m_strPrintQueue);
  }
  // The upload queues share the window's foot line with the printers.
  std::string uploads;
  for (const auto& action : m_actions) {
    if (action->m_iType == kUploadFiles && action->m_bEnabled)
      uploads += (uploads.empty() ? "" : "  |  ") + action->m_strName + ": " +
                 UploadSummary(action->MakeRun().UploadState(), m_host.Now());
  }
  if (queues.empty() && !m_values.m_printing) {
    if (uploads != m_printerLine) m_host.ShowPrinterState(uploads);
    m_printerLine = uploads;
    return;
  }
  PrintDesk& desk = PrintDeskOf(m_values, ResolveTempFolder(*this));
  desk.Watch(queues);
  // Off this thread: a printer gone from the network makes a poll wait for seconds.
  if (!queues.empty()) desk.StartPolling(std::chrono::seconds(3));
  for (const std::string& line : desk.TakeLogLines()) AddToLog(line);
  std::string line;
  std::vector<PrinterSnapshot> printers;
  if (!queues.empty()) {
    printers = desk.Snapshots();
    // The counts kept in the store, once per printer, so they show before the first run.
    bool told = false;
    for (const PrinterSnapshot& printer : printers) {
      if (!printer.polled || !PlausibleQueueName(printer.queue) || desk.KnowsPrintsLeft(printer.queue))
        continue;
      desk.SetPrintsLeft(printer.queue, PaperCount(m_store).Left(printer.queue));
      told = true;
    }
    if (told) {
      printers = desk.Snapshots();
      for (const std::string& l : desk.TakeLogLines()) AddToLog(l);
    }
    // The photos waiting to print; their folders are looked at every few seconds.
    const std::time_t now = m_host.Now();
    if (now < m_printPhotosAt || now - m_printPhotosAt >= 5) {
      m_printPhotosAt = now;
      m_printPhotos.clear();
      for (const auto& action : m_actions) {
        if (action->m_iType == kPrintFiles && action->m_bEnabled)
          m_printPhotos[action->m_strPrintQueue] += CountSourcePhotos(*action, nullptr, 0);
      }
    }
    for (PrinterSnapshot& printer : printers) {
      auto waiting = m_printPhotos.find(printer.queue);
      printer.photosWaiting = waiting == m_printPhotos.end() ? 0 : waiting->second;
      line += (line.empty() ? "" : "  |  ") + printer.Summary();
    }
  }
  m_status.OnPrinters(std::move(printers));
  if (!uploads.empty()) line += (line.empty() ? "" : "  |  ") + uploads;
  if (line != m_printerLine) m_host.ShowPrinterState(line);
  m_printerLine = line;
}

std::vector<std::string> Station::PaperQueues() {
  std::set<std::string> configured;
  for (const auto& action : m_actions) {
    if (action->m_iType == kPrintFiles && action->m_bEnabled) configured.insert(action->m_strPrintQueue);
  }
  std::set<std::string> queues;
  if (!configured.empty()) {
    PrintDesk& desk = PrintDeskOf(m_values, ResolveTempFolder(*this));
    for (const std::string& q : configured) {
      const std::string queue = desk.ResolveQueue(q);
      if (!queue.empty()) queues.insert(queue);
    }
  }
  return {queues.begin(), queues.end()};
}

int Station::PaperPerLoad(const std::string& queue) {
  return PaperCount(m_store).PerLoad(queue);
}

bool Station::PaperLoaded(const PaperLoad& load, std::string* answer) {
  auto say = [&](const std::string& line, bool done) {
    AddToLog(line);
    if (answer) *answer = line;
    return done;
  };
  const std::vector<std::string> queues = PaperQueues();
  std::string names;
  for (const std::string& q : queues) names += (names.empty() ? "" : ", ") + q;
  std::string queue = load.queue;
  if (queue.empty()) {
    if (queues.size() != 1) {
      return say(queues.empty()
                     ? std::string("Paper loaded: no Print Files action is enabled; name the printer")
                     : "Paper loaded: name the printer (" + names + ")",
                 false);
    }
    queue = queues.front();
  } else if (std::find(queues.begin(), queues.end(), queue) == queues.end()) {
    // A mistyped name would start a count no printer ever uses.
    return say(queues.empty()
                   ? "Paper loaded: no printer " + queue + " here; no Print Files action is enabled"
                   : "Paper loaded: no printer " + queue + " here (printers: " + names + ")",
               false);
  }
  PaperCount paper(m_store);
  const int count = load.count ? *load.count : paper.PerLoad(queue);
  if (!paper.Load(queue, count))
    return say("FAILED: Paper loaded on printer " + queue + ": the settings store cannot keep the count",
               false);
  const int left = paper.Left(queue);
  if (m_values.m_printing) m_values.m_printing->SetPrintsLeft(queue, left);
  say(left < 0 ? "Paper loaded on printer " + queue + ": prints are not counted"
               : "Paper loaded on printer " + queue + ": " + PrintsLeftText(left),
      true);
  WatchPrinters();
  return true;
}

std::vector<PrinterSnapshot> Station::PrinterSnapshots() const {
  return m_values.m_printing ? m_values.m_printing->Snapshots() : std::vector<PrinterSnapshot>{};
}

void Station::WatchCards() {
  const bool wanted = std::any_of(m_actions.begin(), m_actions.end(), [](const auto& action) {
    return action->m_bEnabled && IsCardSourceText(action->m_strSourceFolder);
  });
  if (!wanted) {
    m_cardsIn.clear();  // nobody reads them: nothing to say
    return;
  }
  const std::vector<CardVolume> now = FindCards(m_values.m_cardPlaces);
  auto has = [](const std::vector<CardVolume>& cards, const CardVolume& card) {
    return std::any_of(cards.begin(), cards.end(), [&](const CardVolume& c) {
      return c.mountPoint == card.mountPoint && c.mountId == card.mountId;
    });
  };
  for (const CardVolume& card : m_cardsIn) {
    if (!has(now, card)) AddToLog(CardLine(card, false));
  }
  for (const CardVolume& card : now) {
    if (!has(m_cardsIn, card)) AddToLog(CardLine(card, true));
  }
  m_cardsIn = now;
}

void Station::OnLoopTimer() {
  m_logger.Tick(0);  // once a second: no line waits longer than that in memory
  PublishState();
  WatchPrinters();
  WatchCards();
  if (m_bShutdownRequested) {
    if (m_bShutdownStarted) return;
    if (m_values.g_bActionsRunning) {
      AddToLog("Application shutdown waiting on actions to complete...");
      return;
    }
    AddToLog("Application entering shutdown actions...");
    m_bShutdownStarted = true;
    ExitSequence();
    return;
  }
  if (IsDialogOpen() || !m_bRunContinuously) return;
  if (m_countdown > 0) {
    AddToLog(CountdownLine(m_countdown));
    --m_countdown;
    return;
  }
  if (m_values.g_bActionsRunning) return;
  // The pass stops the timer so that passes never overlap: the next tick comes a full
  // period after this pass has ended.
  m_host.StopLoopTimer();
  {
    RunScope scope(*this);
    RecoverOrphanedMoves();
    Walk(true, [this](Action& action) {
      if (action.m_iScheduleType == kScheduleOnCommand) return;
      RunOne(action);
      DispatchPendingEvents();
    });
  }
  m_status.OnPassEnd(m_host.Now());
  m_status.RefreshDestinations(m_actions, m_host.Now());
  PublishActions();
  m_host.StartLoopTimer(kLoopPeriodMs);
}

void Station::OnActionTimer(unsigned id) {
  for (size_t i = 0; i < m_actions.size(); ++i) {
    Action& action = *m_actions[i];
    if (action.m_uiTimerId != id || action.m_uiTimerHandle == 0) continue;
    if (m_editingActions) {
      // Its timer stays stopped until the editor closes; the run is only postponed.
      m_host.StopActionTimer(id);
      if (std::find(m_heldTimers.begin(), m_heldTimers.end(), id) == m_heldTimers.end())
        m_heldTimers.push_back(id);
      return;
    }
    const std::time_t served = m_timerTargets.count(id) ? m_timerTargets[id] : 0;
    StopTimerOf(action);
    // The timer counts elapsed time; when the wall clock was stepped meanwhile it comes early.
    // Wait for the time of day rather than run well before it.
    if (served != 0 && m_host.Now() + kTimeActionEarlySeconds < served) {
      ArmSchedule(action);
      return;
    }
    action.m_bRunPending = 1;
    {
      // A Time run counts as a run in progress, so the exit sequence waits for it.
      RunScope scope(*this);
      RunOne(action);
    }
    // The run may have dispatched a reload that replaced this action; the new one is armed.
    if (IsListed(&action)) {
      action.m_bRunPending = 0;
      ArmSchedule(action, served);
    }
    return;
  }
  // Nobody owns it any more: a stale timer must not keep firing.
  m_host.StopActionTimer(id);
}

void Station::RunOnce() {
  if (IsDialogOpen()) return;
  RunScope scope(*this);
  RecoverOrphanedMoves();
  Walk(false, [this](Action& action) {
    if (action.m_iScheduleType == kScheduleOnCommand) return;
    AddToLog(kBanner);
    AddToLog("Running action: " + action.m_strName);
    RunOne(action);
    DispatchPendingEvents();
  });
}

void Station::RunBarcodeActions() {
  if (m_bRunContinuously) m_host.StopLoopTimer();
  {
    RunScope scope(*this);
    Walk(false, [this](Action& action) {
      if (action.m_iScheduleType != kScheduleBarcodeScan) return;
      AddToLog(kBanner);
      AddToLog("Barcode scanned - Running action: " + action.m_strName);
      action.m_bRunPending = 1;
      RunOne(action);
      action.m_bRunPending = 0;
      DispatchPendingEvents();
    });
  }
  if (m_bRunContinuously) m_host.StartLoopTimer(kLoopPeriodMs);
}

void Station::ExecuteCommand(int index) {
  if (index < 0 || index >= kNumCommands) return;
  if (m_bRunContinuously) m_host.StopLoopTimer();
  {
    RunScope scope(*this);
    const std::string name = CommandName(index);
    Walk(false, [&](Action& action) {
      if (action.m_iScheduleType != kScheduleOnCommand || action.m_iuCommandIndex != index) return;
      AddToLog(kBanner);
      AddToLog("Executing Command: " + name + " - Running action: " + action.m_strName);
      RunOne(action);
      DispatchPendingEvents();
    });
  }
  if (m_bRunContinuously) m_host.StartLoopTimer(kLoopPeriodMs);
}

void Station::OnBarcodeText(const std::string& text) {
  m_barcodeSummary = ParseBarcode(text, m_values.m_strBarcodeInputsArray, m_tones);
  m_host.ShowBarcodeSummary(m_barcodeSummary);
  RunBarcodeActions();  // an empty scan runs them too
}

void Station::SetCommandNames(const CommandNameArray& names) {
  m_commandNames = names;
  SaveCommandNames(m_store, names);
}

void Station::ChooseOperatorText(int index) {
  if (index < 0 || size_t(index) >= m_operatorStrings.size()) return;
  m_operatorIndex = index;
  m_values.m_strOperatorSelectedText = m_operatorStrings[size_t(index)];
}

void Station::RefillOperatorTexts(bool clearWhenEmpty) {
  m_operatorStrings = LoadOperatorSelectableStrings(m_store);
  m_operatorIndex =
      FillOperatorTextChoice(m_operatorStrings, m_values.m_strOperatorSelectedText, clearWhenEmpty);
}

void Station::SetRunContinuously(bool on) {
  m_bRunContinuously = on;
  if (on)
    m_host.StartLoopTimer(kLoopPeriodMs);
  else if (!m_bShutdownRequested)
    m_host.StopLoopTimer();
  PublishState();
}

void Station::RequestShutdown() {
  m_bShutdownRequested = true;
  AddToLog("Shutdown requested");
  if (!m_bRunContinuously) m_host.StartLoopTimer(kLoopPeriodMs);
  PublishState();
}

void Station::RequestShutdownWithoutAsking() {
  m_bExitWithoutAsking = true;
  if (!m_bShutdownRequested) RequestShutdown();
}

void Station::BeginPausingDialog() {
  ++m_dialogDepth;
  m_countdown = kStartupCountdown;
  PublishState();
}

void Station::EndPausingDialog() {
  if (m_dialogDepth > 0) --m_dialogDepth;
  PublishState();
}

void Station::BeginEditingActions() {
  BeginPausingDialog();
  m_editingActions = true;
}

void Station::EndEditingActions() {
  m_editingActions = false;
  EndPausingDialog();
  std::vector<unsigned> held;
  held.swap(m_heldTimers);
  // An action dropped or reloaded meanwhile no longer owns its id and is not run.
  for (unsigned id : held) OnActionTimer(id);
}

void Station::SetEnableBarcodeEntry(bool on) {
  m_bEnableBarcodeEntry = on ? 1 : 0;
  m_store.WriteProfileInt("Settings", "m_bEnableBarcodeEntry", m_bEnableBarcodeEntry);
}

void Station::SetEnableOperatorSelectedText(bool on) {
  m_bEnableOperatorSelectedText = on ? 1 : 0;
  m_store.WriteProfileInt("Settings", "m_bEnableOperatorSelectedText", m_bEnableOperatorSelectedText);
}

bool Station::IsCommandEnabled(int index) const {
  if (IsDialogOpen()) return false;
  return std::any_of(m_actions.begin(), m_actions.end(), [&](const auto& a) {
    return a->m_iScheduleType == kScheduleOnCommand && a->m_iuCommandIndex == index;
  });
}

std::string Station::CommandName(int index) const {
  if (index < 0 || index >= kNumCommands) return {};
  return m_commandNames[size_t(index)];
}

void Station::ApplyApplicationSettings(const std::string& logFolder, int level, int logToFile,
                                       const std::string& tempPath) {
  m_logger.Configure(logFolder, level, logToFile);
  m_values.m_TempPath = tempPath;
  m_store.WriteProfileString("Settings", "m_TempPath", tempPath);
}

std::string Station::PowerOffCommand() {
  return m_store.GetProfileString("Settings", "m_strPowerOffCommand", kDefaultPowerOffCommand);
}

// ---- Status page ----

void Station::SetStatusPageOptions(StatusPageOptions options) {
  m_statusOptions = std::move(options);
  m_status.SetStarter(m_statusOptions.starter);
}

StationState Station::IdleState() const {
  if (m_bShutdownRequested) return StationState::Exiting;
  return m_bRunContinuously && m_dialogDepth == 0 ? StationState::RunningContinuously : StationState::Paused;
}

void Station::StartStatusPage() {
  if (!m_status.CanStart()) return;
  StatusPageConfig config = LoadStatusPageConfig(m_store);
  if (m_statusOptions.port) {
    config.enabled = true;
    config.port = *m_statusOptions.port;
    if (m_statusOptions.address) config.address = *m_statusOptions.address;
  }
  if (!config.enabled) return;
  if (config.key.empty()) {
    // Made once, the first time the page runs, and kept.
    config.key = MakeStatusPageKey();
    m_store.WriteProfileString("Settings", "m_strStatusPageKey", config.key);
  }
  std::string error;
  if (!m_status.Restart(config, &error)) {
    AddToLog("FAILED: Status page on " + config.address + " port " + std::to_string(config.port) + ": " +
             error);
    return;
  }
  AddToLog("Status page at " + m_status.Url());
  m_status.RefreshDestinations(m_actions, m_host.Now(), true);
  PublishActions();
}

bool Station::ApplyStatusPageSettings(const StatusPageConfig& config, std::string* error) {
  SaveStatusPageConfig(m_store, config);
  m_statusOptions.address.reset();
  m_statusOptions.port.reset();
  m_status.Stop();
  StartStatusPage();
  if (config.enabled && !m_status.IsRunning()) {
    if (error) *error = "The status page could not start; the action log says why.";
    return false;
  }
  return true;
}

// ---- Exit ----

void Station::SaveAtExit(bool runShutdownActions) {
  RunScope scope(*this);
  for (size_t i = 0; i < m_actions.size(); ++i) {
    Action& action = *m_actions[i];
    action.Save(static_cast<int>(i));
    if (runShutdownActions && action.m_iScheduleType == kScheduleShutdown) {
      action.m_bRunPending = 1;
      RunOne(action);
    }
  }
  m_store.WriteProfileInt("Actions", "NumActions", static_cast<int>(m_actions.size()));
  m_store.WriteProfileInt("Actions", "m_iFileCounter", m_values.m_iFileCounter);
  m_store.WriteProfileInt("Actions", "m_iBatchCounter", m_values.m_iBatchCounter);
}

void Station::ExitSequence() {
  ExitChoice choice = m_bExitWithoutAsking ? ExitChoice::Exit : m_host.ShowExitDialog();
  // A signal that came while the question was open answers it too.
  if (m_bExitWithoutAsking) choice = ExitChoice::Exit;
  if (choice == ExitChoice::Cancel) {
    m_bShutdownRequested = false;
    m_bShutdownStarted = false;
    if (!m_bRunContinuously) m_host.StopLoopTimer();
    return;
  }
  SaveAtExit(true);
  if (choice == ExitChoice::ExitAndShutDown) {
    std::string command = PowerOffCommand();
    if (!m_host.PowerOff(command)) AddToLog("Failed to shut down the computer with: " + command);
  }
  m_host.StopLoopTimer();
  ClearActions();
  m_logger.Flush();
  m_host.Quit();
}

}  // namespace brisko
