// Upload Files: the photos of the source folder go to a remote through the station's rclone
// daemon, each exactly once, through a durable queue that waits out a dropped network.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "engine/action.h"
#include "engine/upload_queue.h"
#include "naming/brisko_exif_fields.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "upload/rclone_daemon.h"

namespace brisko {

namespace {

// A pass sends for at most this long, so the other actions get their turn.
constexpr auto kPassBudget = std::chrono::seconds(30);
// Back-off of an unreachable remote and of a photo that failed: doubling, capped.
constexpr int64_t kFirstBackOff = 5;
constexpr int64_t kMaxBackOff = 300;
// A photo that failed this often (the remote answering) is given up.
constexpr int kMaxTries = 8;
// The rate is of the sends of this many recent seconds.
constexpr int64_t kRateWindow = 600;
constexpr const char* kTempMark = ".brisko-upload";

std::string ClockText(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M", &tm);
  return text;
}

std::string DayOf(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

// "gallery:events/" -> "gallery:events"; "gallery:" stays.
std::string FsOf(const std::string& dest) {
  std::string fs = dest;
  while (fs.size() > 1 && fs.back() == '/' && fs[fs.size() - 2] != ':') fs.pop_back();
  return fs;
}

// The hidden name a photo is written under before it is renamed into place.
std::string TempNameOf(const std::string& remote) {
  const size_t slash = remote.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : remote.substr(0, slash + 1);
  return folder + "." + remote.substr(slash == std::string::npos ? 0 : slash + 1) + kTempMark;
}

}  // namespace

struct UploadRunState {
  std::unique_ptr<UploadQueue> queue;
  bool recovered = false;
  int64_t offlineSince = 0;
  int64_t nextAttempt = 0;  // of an unreachable remote
  int64_t backOff = 0;
  bool offlineSaid = false;
  std::string lastError;
  std::map<size_t, int64_t> nextTry;               // entries that failed, by when they may go again
  std::set<std::string> failureSaid;               // "source|reason" lines already in the log
  std::deque<std::pair<int64_t, int64_t>> recent;  // (when, bytes) of recent sends
  bool noDaemonSaid = false;
  bool busy = false;  // a pass is sending: a nested one (events run during sends) leaves it be
};

void UploadRunEnd::operator()(UploadRunState* state) const {
  delete state;
}

namespace {

// One photo's trip to the remote.
enum class SendOutcome { kSent, kPhotoFailed, kOffline, kStopped };

class UploadSender {
 public:
  UploadSender(Action& action, UploadRunState& state, RcloneDaemon& rclone, std::string fs)
      : m_action(action), m_state(state), m_rclone(rclone), m_fs(std::move(fs)) {}

  // What the remote offers; false when it does not answer.
  bool LookAtRemote() {
    const RcReply reply = m_rclone.FsInfo(m_fs, m_info);
    if (!reply.Ok()) {
      m_why = reply.error;
      return false;
    }
    m_hash = m_info.hashes.empty() ? "" : m_info.hashes.front();
    return true;
  }

  SendOutcome Send(size_t i);
  const std::string& Why() const { return m_why; }

 private:
  std::function<bool()> Waiting(int64_t bytes) {
    // Never hangs: a generous time for the photo's size even on a slow line.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120 + bytes / (32 * 1024));
    RunHost* host = &m_action.Host();
    return [host, deadline] {
      host->DispatchPendingEvents();
      return !host->StopWaitingForProgram() && std::chrono::steady_clock::now() < deadline;
    };
  }
  // Whether the remote answers at all: a failure is then the photo's, else the network's.
  bool Reachable() {
    RemoteItem item;
    return m_rclone.Stat(m_fs, "", "", item).Ok();
  }
  SendOutcome Failed(const RcReply& reply, bool stopped = false) {
    m_why = reply.error;
    if (stopped || m_action.Host().StopWaitingForProgram()) return SendOutcome::kStopped;
    return Reachable() ? SendOutcome::kPhotoFailed : SendOutcome::kOffline;
  }
  // The remote file `remote` against the photo: 1 equal, 0 different or absent, -1 no answer.
  int SameAsPhoto(const UploadEntry& e, const RemoteItem& there, RcReply& reply) {
    if (!there.found || there.size != e.size) return 0;
    if (m_hash.empty() || there.hash.empty()) return 1;
    const PathParts parts = SplitPath(e.source);
    RemoteItem local;
    reply = m_rclone.Stat(LocalFs(e.source), parts.name + parts.extension, m_hash, local, Waiting(e.size));
    if (!reply.Ok()) return -1;
    return local.found && local.hash == there.hash ? 1 : 0;
  }
  static std::string LocalFs(const std::string& source) {
    const std::string folder = TrimTrailingSeparators(SplitPath(source).folder);
    // A relative folder is never taken for a remote's name.
    if (folder.empty()) return "/";
    return folder.front() == '/' ? folder : "./" + folder;
  }

  Action& m_action;
  UploadRunState& m_state;
  RcloneDaemon& m_rclone;
  std::string m_fs;
  RemoteInfo m_info;
  std::string m_hash;
  std::string m_why;
};

SendOutcome UploadSender::Send(size_t i) {
  UploadQueue& queue = *m_state.queue;
  UploadEntry& e = queue.At(i);
  struct stat st {};
  if (::stat(e.source.c_str(), &st) != 0 || st.st_size != e.size || int64_t(st.st_mtime) != e.modTime) {
    // Changed since it was queued: the new version is queued by the next pass.
    e.state = UploadState::Failed;
    e.reason = "the photo changed or went before it was sent";
    queue.Changed(i);
    m_why = e.reason;
    return SendOutcome::kPhotoFailed;
  }
  const PathParts parts = SplitPath(e.source);
  const std::string srcFs = LocalFs(e.source), srcName = parts.name + parts.extension;

  // What the remote holds under the photo's name: ours from before a crash, or another's.
  RemoteItem there;
  RcReply reply = m_rclone.Stat(m_fs, e.remote, m_hash, there, Waiting(0));
  if (!reply.Ok()) return Failed(reply);
  for (int n = 2; there.found; ++n) {
    const int same = SameAsPhoto(e, there, reply);
    if (same < 0) return Failed(reply);
    if (same == 1) {
      e.state = m_hash.empty() || there.hash.empty() ? UploadState::Done : UploadState::Checked;
      e.sent = m_action.Host().Now();
      queue.Changed(i);
      m_action.LogMessage("Uploaded " + e.source + " to " + ShownRemote(m_fs) + "/" + e.remote +
                          " (already there)");
      return SendOutcome::kSent;
    }
    // Written straight under its name and cut short: ours to write again.
    if (e.state == UploadState::Sending && !m_info.canMove) break;
    if (n > 1000) {
      m_why = "no free name on the remote";
      return SendOutcome::kPhotoFailed;
    }
    // Another file has the name: never replaced; the photo takes the next free one.
    std::string next = CollisionName(e.remote, n);
    if (queue.RemoteTaken(next)) continue;
    reply = m_rclone.Stat(m_fs, next, m_hash, there, Waiting(0));
    if (!reply.Ok()) return Failed(reply);
    queue.SetRemote(i, next);
    int err = 0;
    if (!queue.WriteNow(i, &err)) {
      m_why = "the queue cannot be written: " + ErrnoText(err);
      return SendOutcome::kPhotoFailed;
    }
  }

  const auto started = std::chrono::steady_clock::now();
  if (m_info.canMove) {
    const std::string temp = TempNameOf(e.remote);
    reply = m_rclone.CopyFile(srcFs, srcName, m_fs, temp, Waiting(e.size));
    if (!reply.Ok()) return Failed(reply);
    reply = m_rclone.MoveFile(m_fs, temp, e.remote, Waiting(e.size));
    if (!reply.Ok()) return Failed(reply);
  } else {
    // No rename on this remote: recorded as being written first, so a crash's half file is
    // known for ours.
    if (e.state != UploadState::Sending) {
      e.state = UploadState::Sending;
      int err = 0;
      if (!queue.WriteNow(i, &err)) {
        e.state = UploadState::Pending;
        m_why = "the queue cannot be written: " + ErrnoText(err);
        return SendOutcome::kPhotoFailed;
      }
    }
    reply = m_rclone.CopyFile(srcFs, srcName, m_fs, e.remote, Waiting(e.size));
    if (!reply.Ok()) return Failed(reply);
  }
  const auto took = std::chrono::steady_clock::now() - started;

  // Read back what the remote now holds and compare.
  reply = m_rclone.Stat(m_fs, e.remote, m_hash, there, Waiting(0));
  if (!reply.Ok()) return Failed(reply);
  const int same = SameAsPhoto(e, there, reply);
  if (same < 0) return Failed(reply);
  if (same == 0) {
    // Ours, and wrong: it goes, and the photo is sent again later.
    m_rclone.DeleteFile(m_fs, e.remote);
    if (e.state == UploadState::Sending) e.state = UploadState::Pending;
    m_why = there.found ? "the copy on the remote differs from the photo" : "the copy is not on the remote";
    return SendOutcome::kPhotoFailed;
  }
  const bool hashed = !m_hash.empty() && !there.hash.empty();
  e.state = hashed ? UploadState::Checked : UploadState::Done;
  e.sent = m_action.Host().Now();
  e.reason.clear();
  queue.Changed(i);
  (void)took;
  m_state.recent.emplace_back(e.sent, e.size);
  while (m_state.recent.size() > 1 && m_state.recent.front().first < e.sent - kRateWindow)
    m_state.recent.pop_front();
  m_action.LogMessage("Uploaded " + e.source + " to " + ShownRemote(m_fs) + "/" + e.remote +
                      (hashed ? " (checked)" : " (size only)"));
  return SendOutcome::kSent;
}

}  // namespace

bool Action::UploadFiles(const std::vector<std::string>& files) {
  const std::string dest = m_strDestFolder;
  if (!IsPlainRemote(dest)) {
    LogMessage("FAILED: The destination is not an rclone remote: " + ShownRemote(dest));
    return false;
  }
  if (!m_upload) m_upload.reset(new UploadRunState);
  UploadRunState& state = *m_upload;
  if (state.busy) return true;
  struct Busy {
    bool& flag;
    ~Busy() { flag = false; }
  } busy{state.busy = true};
  const std::string source = TrimTrailingSeparators(m_strSourceFolder);
  if (!state.queue || state.queue->Dest() != dest || state.queue->Source() != source) {
    // The action now names another destination or source: its queue is another.
    UploadRunState fresh;
    fresh.busy = true;
    state = std::move(fresh);
    state.queue = std::make_unique<UploadQueue>(GetTempFolder() + kUploadRecordFolder, dest, source);
  }
  UploadQueue& queue = *state.queue;
  if (!state.recovered) {
    queue.Recover();
    state.recovered = true;
  }
  const std::time_t now = m_host->Now();

  // New photos, and new versions of photos already sent, join the queue.
  std::vector<UploadEntry> added;
  std::set<std::string> names;
  const NamingContext context = MakeNamingContext();
  for (const std::string& path : files) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const UploadEntry* known = queue.Find(path);
    if (known && known->size == st.st_size && known->modTime == int64_t(st.st_mtime)) continue;
    BriskoExifFields fields;
    ReadFields(path, fields);
    std::string folder;
    if (m_bCreateNewSubfolder)
      folder = m_SubfolderTemplate.GenerateSubfolderName(m_pIdTxt, fields, path, context);
    const PathParts parts = SplitPath(path);
    std::string name = parts.name + parts.extension;
    if (m_bRenameFile) {
      const std::string renamed = m_RenameTemplate.GenerateNewName(path, m_pIdTxt, fields, false, context);
      if (!renamed.empty()) name = renamed;
    }
    std::string remote = folder.empty() ? name : folder + "/" + name;
    // Two photos of this pass named alike each get their own name.
    for (int n = 2; names.count(remote) || queue.RemoteTaken(remote); ++n)
      remote = CollisionName(folder.empty() ? name : folder + "/" + name, n);
    names.insert(remote);
    UploadEntry entry;
    entry.source = path;
    entry.size = st.st_size;
    entry.modTime = st.st_mtime;
    entry.remote = remote;
    entry.queued = now;
    added.push_back(std::move(entry));
  }
  if (!added.empty()) {
    int err = 0;
    if (!queue.Add(std::move(added), &err))
      LogMessage("FAILED: The upload queue cannot be written: " + ErrnoText(err));
  }

  // Oldest photos first.
  std::vector<size_t> order;
  size_t waiting = 0;
  for (size_t i = 0; i < queue.Size(); ++i) {
    if (!queue.At(i).Waiting()) continue;
    ++waiting;
    const auto held = state.nextTry.find(i);
    if (held == state.nextTry.end() || held->second <= now) order.push_back(i);
  }
  if (order.empty() || now < state.nextAttempt) return true;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return queue.At(a).modTime < queue.At(b).modTime; });

  RcloneDaemon* rclone = m_host->Uploader();
  std::string why;
  if (!rclone || !rclone->Start(&why)) {
    if (!rclone) why = "this station cannot upload";
    state.lastError = why;
    if (!std::exchange(state.noDaemonSaid, true)) LogMessage("FAILED: " + why);
    state.nextAttempt = now + kMaxBackOff;
    return false;
  }
  state.noDaemonSaid = false;
  rclone->SetBandwidth(int64_t(std::max(0, m_iUploadRateLimit)) * 1024);

  auto offline = [&](const std::string& reason) {
    state.lastError = WithoutCredentials(reason);
    if (state.offlineSince == 0) state.offlineSince = now;
    state.backOff = std::min(kMaxBackOff, std::max(kFirstBackOff, state.backOff * 2));
    state.nextAttempt = now + state.backOff;
    if (!std::exchange(state.offlineSaid, true)) {
      LogMessage("Offline since " + ClockText(state.offlineSince) + ": " + std::to_string(waiting) +
                 " photos waiting");
      m_host->GetLogger().Log(3, state.lastError, ShownRemote(dest));
    }
  };
  UploadSender sender(*this, state, *rclone, FsOf(dest));
  if (!sender.LookAtRemote()) {
    offline(sender.Why());
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kPassBudget;
  bool result = true;
  size_t done = 0;
  const std::string description = GetDescription();
  for (const size_t i : order) {
    if (std::chrono::steady_clock::now() > deadline || m_host->StopWaitingForProgram()) break;
    m_host->SetProgress(int(done * 100 / order.size()), 100, description, "Uploading " + queue.At(i).source);
    const SendOutcome outcome = sender.Send(i);
    if (outcome == SendOutcome::kStopped) break;
    if (outcome == SendOutcome::kOffline) {
      offline(sender.Why());
      result = false;
      break;
    }
    if (state.offlineSince != 0) {
      LogMessage("Online again since " + ClockText(m_host->Now()));
      state.offlineSince = 0;
    }
    state.offlineSaid = false;
    state.backOff = 0;
    state.nextAttempt = 0;
    ++done;
    if (outcome == SendOutcome::kSent) {
      state.nextTry.erase(i);
      continue;
    }
    // The remote answers but took not this photo: it waits longer each time, then is given up.
    UploadEntry& e = queue.At(i);
    result = false;
    e.reason = WithoutCredentials(sender.Why());
    state.lastError = e.reason;
    if (e.Waiting() && ++e.tries >= kMaxTries) e.state = UploadState::Failed;
    queue.Changed(i);
    state.nextTry[i] = now + std::min(kMaxBackOff, kFirstBackOff << std::min(e.tries, 10));
    if (state.failureSaid.insert(e.source + "|" + e.reason).second || e.state == UploadState::Failed)
      LogMessage("FAILED: Upload " + e.source + ": " + e.reason +
                 (e.state == UploadState::Failed ? " (given up)" : ""));
  }
  int err = 0;
  if (!queue.Flush(&err)) LogMessage("FAILED: The upload queue cannot be written: " + ErrnoText(err));
  return result;
}

UploadStatus Action::UploadState() const {
  UploadStatus status;
  status.remote = ShownRemote(m_strDestFolder);
  if (!m_upload || !m_upload->queue) return status;
  const UploadRunState& state = *m_upload;
  const UploadQueue& queue = *state.queue;
  const std::time_t now = m_host->Now();
  const std::string today = DayOf(now);
  int64_t waitingBytes = 0;
  for (size_t i = 0; i < queue.Size(); ++i) {
    const UploadEntry& e = queue.At(i);
    if (e.Waiting()) {
      ++status.waiting;
      waitingBytes += e.size;
      if (status.oldestQueued == 0 || e.queued < status.oldestQueued) status.oldestQueued = e.queued;
    } else if (e.state == UploadState::Failed) {
      ++status.failed;
    } else if (e.sent != 0 && DayOf(e.sent) == today) {
      ++status.sentToday;
    }
  }
  int64_t bytes = 0, first = 0;
  for (const auto& [when, size] : state.recent) {
    if (when < now - kRateWindow) continue;
    if (first == 0) first = when;
    bytes += size;
  }
  if (bytes > 0) status.bytesPerSecond = double(bytes) / double(std::max<int64_t>(1, now - first));
  if (status.bytesPerSecond > 0)
    status.secondsToEmpty = int64_t(double(waitingBytes) / status.bytesPerSecond);
  status.offlineSince = state.offlineSince;
  status.lastError = state.lastError;
  status.late = m_iUploadLateMinutes > 0 && status.oldestQueued != 0 &&
                now - status.oldestQueued > int64_t(m_iUploadLateMinutes) * 60;
  return status;
}

}  // namespace brisko
