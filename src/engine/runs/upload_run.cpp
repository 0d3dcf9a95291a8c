// Upload Files: the photos of the source folder go to a remote through the station's rclone
// daemon, each exactly once, through a durable queue that waits out a dropped network.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "engine/records/upload_queue.h"
#include "engine/runs/action_run.h"
#include "naming/brisko_exif_fields.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "support/text.h"
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
constexpr auto kFlushEvery = std::chrono::seconds(2);

std::string ClockText(std::time_t t) {
  return LocalTimeText(t, "%H:%M");
}

std::string DayOf(std::time_t t) {
  return LocalTimeText(t, "%Y-%m-%d");
}

// "gallery:events/" -> "gallery:events"; "gallery:" stays.
std::string FsOf(const std::string& dest) {
  std::string fs = dest;
  while (fs.size() > 1 && fs.back() == '/' && fs[fs.size() - 2] != ':') fs.pop_back();
  return fs;
}

// A photo is written below a hidden folder of the destination, then renamed into place. The
// remote's rclone paces the calls of each of its roots, and a rename takes as many calls as the
// send itself: spread over a few folders (each its own root), the sends do not queue behind the
// renames. A photo's folder follows from its name, so a send again after a kill writes over its
// own half.
constexpr size_t kTempFolders = 4;
constexpr const char* kTempFolder = ".brisko-upload-";

size_t TempFolderOf(const std::string& remote) {
  // FNV-1a: the same folder in every run.
  uint32_t h = 2166136261u;
  for (const char c : remote) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h % kTempFolders;
}

// "gallery:" + "x" -> "gallery:x"; "gallery:events" + "x" -> "gallery:events/x".
std::string FsBelow(const std::string& fs, const std::string& folder) {
  return fs.empty() || fs.back() == ':' || fs.back() == '/' ? fs + folder : fs + "/" + folder;
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

// A few photos at a time, as rclone itself sends: one at a time leaves the line idle between.
// Sends that end in a rename are half renames: twice as many keep as many photos on the line.
constexpr size_t kParallelSends = 4;
constexpr size_t kParallelRenamedSends = 8;

// One photo's trip to the remote, as it ended.
// kMark: the name is free, and the photo is to be recorded as being written under it first.
enum class SendOutcome { kSent, kAlreadyThere, kTaken, kMark, kChanged, kPhotoFailed, kOffline, kStopped };

// What a send needs of its entry: a copy, so that it runs beside the station's thread.
struct SendJob {
  size_t index = 0;
  std::string source, remote;
  int64_t size = 0, modTime = 0;
  bool sending = false;  // recorded as being written straight under its name
};

struct SendResult {
  SendOutcome outcome = SendOutcome::kPhotoFailed;
  bool hashed = false;
  std::string why;
};

// Sends photos through the daemon. Send runs on worker threads and touches nothing but the
// daemon and its own job; the queue and the log are the station thread's.
class UploadSender {
 public:
  UploadSender(RcloneDaemon& rclone, std::string fs, const std::atomic<bool>& stop, bool inPlace)
      : m_rclone(rclone), m_fs(std::move(fs)), m_stop(stop), m_inPlace(inPlace) {}

  // What the remote offers; false when it does not answer.
  bool LookAtRemote(std::string& why) {
    const RcReply reply = m_rclone.FsInfo(m_fs, m_info);
    if (!reply.Ok()) {
      why = reply.error;
      return false;
    }
    m_hash = m_info.hashes.empty() ? "" : m_info.hashes.front();
    if (m_inPlace) m_info.canMove = false;
    return true;
  }
  // Lists the folders the jobs go to, so that what each holds is not asked photo by photo. A
  // folder that cannot be listed is asked photo by photo.
  void ListFolders(const std::vector<SendJob>& jobs) {
    std::set<std::string> folders;
    for (const SendJob& job : jobs) folders.insert(FolderOf(job.remote));
    for (const std::string& folder : folders) {
      std::vector<RemoteEntry> entries;
      if (!m_rclone.List(m_fs, folder, entries).Ok()) continue;
      m_listed.insert(folder);
      for (const RemoteEntry& e : entries) {
        if (!e.isDir) m_sizes[folder.empty() ? e.name : folder + "/" + e.name] = e.size;
        if (e.isDir && folder.empty()) m_tempSeen.insert(e.name);
      }
    }
  }
  bool CanMove() const { return m_info.canMove; }
  // Whether the listing says `remote` is free.
  bool FreeInListing(const std::string& remote) const {
    return m_listed.count(FolderOf(remote)) > 0 && m_sizes.count(remote) == 0;
  }
  const std::string& Fs() const { return m_fs; }
  std::string TempFs(size_t folder) const { return FsBelow(m_fs, kTempFolder + std::to_string(folder)); }
  std::string TempFsOf(const std::string& remote) const { return TempFs(TempFolderOf(remote)); }
  // The hidden folders this pass wrote below, and those the listing showed: empty ones go.
  void RemoveEmptyTempFolders() const {
    for (size_t k = 0; k < kTempFolders; ++k) {
      if (m_tempUsed[k] || m_tempSeen.count(kTempFolder + std::to_string(k)))
        m_rclone.RemoveEmptyFolders(m_fs, kTempFolder + std::to_string(k));
    }
  }
  // A photo given up: its half in a hidden folder (after a kill) goes too.
  void DropTemp(const std::string& remote) const {
    if (m_info.canMove) m_rclone.DeleteFile(TempFsOf(remote), remote);
  }

  SendResult Send(const SendJob& job) const;

  // Whether `remote` holds the photo of `job` (1), something else or nothing (0), or no answer
  // came (-1, with `reply`).
  int Holds(const SendJob& job, const std::string& remote, RcReply& reply, bool& hashed) const {
    RemoteItem there;
    reply = m_rclone.Stat(m_fs, remote, m_hash, there, Waiting(0));
    if (!reply.Ok()) return -1;
    return SameAsPhoto(job, there, reply, hashed);
  }

 private:
  static std::string FolderOf(const std::string& remote) {
    const size_t slash = remote.rfind('/');
    return slash == std::string::npos ? std::string() : remote.substr(0, slash);
  }
  std::function<bool()> Waiting(int64_t bytes) const {
    // Never hangs: a generous time for the photo's size even on a slow line.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120 + bytes / (32 * 1024));
    const std::atomic<bool>* stop = &m_stop;
    return [stop, deadline] { return !*stop && std::chrono::steady_clock::now() < deadline; };
  }
  // Whether the remote answers at all: a failure is then the photo's, else the network's.
  bool Reachable() const {
    RemoteItem item;
    return m_rclone.Stat(m_fs, "", "", item).Ok();
  }
  SendResult Failed(const RcReply& reply) const {
    if (m_stop) return {SendOutcome::kStopped, false, reply.error};
    return {Reachable() ? SendOutcome::kPhotoFailed : SendOutcome::kOffline, false, reply.error};
  }
  int SameAsPhoto(const SendJob& job, const RemoteItem& there, RcReply& reply, bool& hashed) const {
    hashed = false;
    if (!there.found || there.size != job.size) return 0;
    if (m_hash.empty() || there.hash.empty()) return 1;
    const PathParts parts = SplitPath(job.source);
    RemoteItem local;
    reply =
        m_rclone.Stat(LocalFs(job.source), parts.name + parts.extension, m_hash, local, Waiting(job.size));
    if (!reply.Ok()) return -1;
    hashed = true;
    return local.found && local.hash == there.hash ? 1 : 0;
  }
  static std::string LocalFs(const std::string& source) {
    const std::string folder = TrimTrailingSeparators(SplitPath(source).folder);
    // A relative folder is never taken for a remote's name.
    if (folder.empty()) return "/";
    return folder.front() == '/' ? folder : "./" + folder;
  }

  RcloneDaemon& m_rclone;
  std::string m_fs;
  const std::atomic<bool>& m_stop;
  bool m_inPlace;
  RemoteInfo m_info;
  std::string m_hash;
  std::set<std::string> m_listed;
  std::map<std::string, int64_t> m_sizes;
  std::set<std::string> m_tempSeen;
  mutable std::atomic<bool> m_tempUsed[kTempFolders] = {};
};

SendResult UploadSender::Send(const SendJob& job) const {
  struct stat st {};
  if (::stat(job.source.c_str(), &st) != 0 || st.st_size != job.size || int64_t(st.st_mtime) != job.modTime)
    return {SendOutcome::kChanged, false, "the photo changed or went before it was sent"};
  const PathParts parts = SplitPath(job.source);
  const std::string srcFs = LocalFs(job.source), srcName = parts.name + parts.extension;

  // What the remote holds under the photo's name: ours from before a crash, or another's.
  RcReply reply;
  bool hashed = false;
  const bool listed = m_listed.count(FolderOf(job.remote)) > 0;
  const auto size = m_sizes.find(job.remote);
  if (!listed || size != m_sizes.end()) {
    // The listing's size says it all where the remote gives no hash.
    const int same = listed && size->second != job.size ? 0
                     : listed && m_hash.empty()         ? 1
                                                        : Holds(job, job.remote, reply, hashed);
    if (same < 0) return Failed(reply);
    if (same == 1) return {SendOutcome::kAlreadyThere, hashed, ""};
    // Something else has the name: never replaced, unless it is ours, written straight under its
    // name and cut short.
    const bool found = listed || reply.body["item"].IsObject();
    if (found && !(job.sending && !m_info.canMove)) return {SendOutcome::kTaken, false, ""};
  }

  if (m_info.canMove) {
    const size_t folder = TempFolderOf(job.remote);
    m_tempUsed[folder] = true;
    reply = m_rclone.CopyFile(srcFs, srcName, TempFs(folder), job.remote, Waiting(job.size));
    if (!reply.Ok()) return Failed(reply);
    reply = m_rclone.MoveFile(TempFs(folder), job.remote, m_fs, job.remote, Waiting(job.size));
    if (!reply.Ok()) return Failed(reply);
  } else {
    // Only a name known free (or ours, cut short) is written, and only once recorded.
    if (!job.sending) return {SendOutcome::kMark, false, ""};
    reply = m_rclone.CopyFile(srcFs, srcName, m_fs, job.remote, Waiting(job.size));
    if (!reply.Ok()) return Failed(reply);
  }
  // rclone compared the sizes as it sent; where the remote gives a hash, it is read back and
  // compared here as well.
  if (m_hash.empty()) return {SendOutcome::kSent, false, ""};
  const int same = Holds(job, job.remote, reply, hashed);
  if (same < 0) return Failed(reply);
  if (same == 0) {
    // Ours, and wrong: it goes, and the photo is sent again later.
    m_rclone.DeleteFile(m_fs, job.remote);
    return {SendOutcome::kPhotoFailed, false, "the copy on the remote differs from the photo"};
  }
  return {SendOutcome::kSent, hashed, ""};
}

// The action's queue for its destination and source, recovered at its first pass.
UploadQueue& QueueFor(ActionRun& run, UploadRunState& state, const std::string& dest) {
  const std::string source = TrimTrailingSeparators(run.m_settings.m_strSourceFolder);
  if (!state.queue || state.queue->Dest() != dest || state.queue->Source() != source) {
    // The action now names another destination or source: its queue is another.
    UploadRunState fresh;
    fresh.busy = true;
    state = std::move(fresh);
    state.queue = std::make_unique<UploadQueue>(run.GetTempFolder() + kUploadRecordFolder, dest, source);
  }
  UploadQueue& queue = *state.queue;
  if (!state.recovered) {
    queue.Recover();
    state.recovered = true;
  }
  return queue;
}

// Oldest photos first: the waiting entries whose wait after a failure is over. `waiting` counts
// every waiting entry.
std::vector<size_t> SendOrder(const UploadQueue& queue, const UploadRunState& state, std::time_t now,
                              size_t& waiting) {
  std::vector<size_t> order;
  for (size_t i = 0; i < queue.Size(); ++i) {
    if (!queue.At(i).Waiting()) continue;
    ++waiting;
    const auto held = state.nextTry.find(i);
    if (held == state.nextTry.end() || held->second <= now) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return queue.At(a).modTime < queue.At(b).modTime; });
  return order;
}

// The station's rclone daemon, running, at the action's rate limit; nullptr when the station has
// none or it does not start (said once, and tried again after the longest back-off).
RcloneDaemon* StartDaemon(ActionRun& run, UploadRunState& state, std::time_t now) {
  RcloneDaemon* rclone = run.Host().Uploader();
  std::string why;
  if (!rclone || !rclone->Start(&why)) {
    if (!rclone) why = "this station cannot upload";
    state.lastError = why;
    if (!std::exchange(state.noDaemonSaid, true)) run.LogMessage("FAILED: " + why);
    state.nextAttempt = now + kMaxBackOff;
    return nullptr;
  }
  state.noDaemonSaid = false;
  rclone->SetBandwidth(int64_t(std::max(0, run.m_settings.m_iUploadRateLimit)) * 1024);
  return rclone;
}

// Wakes the station's thread as soon as a send ends, so no slot waits idle.
struct Finished {
  std::mutex mutex;
  std::condition_variable cv;
  size_t count = 0;
  void Notify() {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    cv.notify_one();
  }
  void Wait(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, most, [&] { return count > 0; });
    count = 0;
  }
};

// One pass's sends: a few at a time beside the station's thread, each settled in the queue and
// the log on the station's thread as it ends.
class UploadPass {
 public:
  UploadPass(ActionRun& run, UploadRunState& state, RcloneDaemon& rclone, std::string dest, std::time_t now,
             size_t waiting)
      : m_run(run),
        m_host(run.Host()),
        m_state(state),
        m_queue(*state.queue),
        m_dest(std::move(dest)),
        m_now(now),
        m_waiting(waiting),
        m_sender(rclone, FsOf(m_dest), m_stop, run.m_settings.m_bUploadInPlace != 0),
        m_description(run.GetDescription()) {}

  // What the remote offers; false, the remote offline, when it does not answer.
  bool LookAtRemote() {
    std::string why;
    if (m_sender.LookAtRemote(why)) return true;
    Offline(why);
    return false;
  }

  // The photos to send, in this order; false when the queue cannot be written.
  bool Prepare(const std::vector<size_t>& order) {
    m_deadline = std::chrono::steady_clock::now() + kPassBudget;
    m_total = order.size();
    for (const size_t i : order) m_todo.push_back(JobOf(i));
    m_sender.ListFolders({m_todo.begin(), m_todo.end()});
    // Written straight under the final names (a remote that cannot rename, or in place): each name
    // the listing shows free is recorded as being written first, all in one write, so a crash's
    // half file is known for ours. A name another file holds is never so recorded.
    if (!m_sender.CanMove()) {
      for (SendJob& job : m_todo) {
        if (job.sending || !m_sender.FreeInListing(job.remote)) continue;
        m_queue.At(job.index).state = UploadState::Sending;
        m_queue.Changed(job.index);
        job.sending = true;
      }
      int err = 0;
      if (!m_queue.Flush(&err)) {
        m_run.LogMessage("FAILED: The upload queue cannot be written: " + ErrnoText(err));
        return false;
      }
    }
    return true;
  }

  // Sends until every photo went, the pass's time is up, the remote went offline or an exit was
  // asked for.
  void SendAll() {
    struct Running {
      SendJob job;
      std::future<SendResult> result;
    };
    std::vector<Running> running;
    Finished finished;
    const UploadSender& sender = m_sender;
    const size_t parallel = m_sender.CanMove() ? kParallelRenamedSends : kParallelSends;
    auto lastFlush = std::chrono::steady_clock::now();
    while (!running.empty() || !m_todo.empty()) {
      const bool launch = !m_wentOffline && !m_stop && std::chrono::steady_clock::now() < m_deadline &&
                          !m_host.StopWaitingForProgram();
      while (launch && !m_todo.empty() && running.size() < parallel) {
        SendJob job = std::move(m_todo.front());
        m_todo.pop_front();
        auto future = std::async(std::launch::async, [&sender, &finished, job] {
          SendResult r = sender.Send(job);
          finished.Notify();
          return r;
        });
        running.push_back({std::move(job), std::move(future)});
      }
      if (!launch) m_todo.clear();
      if (running.empty()) break;
      bool any = false;
      for (size_t k = 0; k < running.size();) {
        if (running[k].result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
          ++k;
          continue;
        }
        const SendResult r = running[k].result.get();
        const SendJob job = std::move(running[k].job);
        running.erase(running.begin() + std::ptrdiff_t(k));
        Settle(job, r);
        any = true;
        // What went is written down now and then, not only at the pass's end: after a kill the next
        // start looks again at fewer photos.
        if (std::chrono::steady_clock::now() - lastFlush > kFlushEvery) {
          int err = 0;
          m_queue.Flush(&err);
          lastFlush = std::chrono::steady_clock::now();
        }
      }
      if (any) continue;
      // Events go on while the photos travel; an exit asked for gives the sends up.
      m_host.DispatchPendingEvents();
      if (m_host.StopWaitingForProgram()) m_stop = true;
      finished.Wait(std::chrono::milliseconds(50));
    }
  }

  // The pass's end: the remote offline, or the hidden folders tidied; the queue written.
  bool Finish() {
    if (m_wentOffline) {
      Offline(m_offlineWhy);
      m_result = false;
    } else if (m_sender.CanMove() && !m_stop) {
      m_sender.RemoveEmptyTempFolders();
    }
    int err = 0;
    if (!m_queue.Flush(&err))
      m_run.LogMessage("FAILED: The upload queue cannot be written: " + ErrnoText(err));
    return m_result;
  }

 private:
  void Offline(const std::string& reason) {
    m_state.lastError = WithoutCredentials(reason);
    if (m_state.offlineSince == 0) m_state.offlineSince = m_now;
    m_state.backOff = std::min(kMaxBackOff, std::max(kFirstBackOff, m_state.backOff * 2));
    m_state.nextAttempt = m_now + m_state.backOff;
    if (!std::exchange(m_state.offlineSaid, true)) {
      m_run.LogMessage("Offline since " + ClockText(m_state.offlineSince) + ": " + std::to_string(m_waiting) +
                       " photos waiting");
      m_host.GetLogger().Log(3, m_state.lastError, ShownRemote(m_dest));
    }
  }

  SendJob JobOf(size_t i) const {
    const UploadEntry& e = m_queue.At(i);
    return SendJob{i, e.source, e.remote, e.size, e.modTime, e.state == UploadState::Sending};
  }

  // One send as it ended, into the queue and the log.
  void Settle(const SendJob& job, const SendResult& r) {
    UploadEntry& e = m_queue.At(job.index);
    if (r.outcome == SendOutcome::kStopped) return;
    if (r.outcome == SendOutcome::kOffline) {
      m_wentOffline = true;
      m_offlineWhy = r.why;
      return;
    }
    if (m_state.offlineSince != 0) {
      m_run.LogMessage("Online again since " + ClockText(m_host.Now()));
      m_state.offlineSince = 0;
    }
    m_state.offlineSaid = false;
    m_state.backOff = 0;
    m_state.nextAttempt = 0;
    ++m_done;
    m_host.SetProgress(int(m_done * 100 / m_total), 100, m_description, "Uploaded " + e.source);
    if (r.outcome == SendOutcome::kSent || r.outcome == SendOutcome::kAlreadyThere) {
      Sent(job, r, e);
      return;
    }
    if (r.outcome == SendOutcome::kMark) {
      e.state = UploadState::Sending;
      int err = 0;
      if (m_queue.WriteNow(job.index, &err)) {
        m_todo.push_front(JobOf(job.index));
        return;
      }
      e.state = UploadState::Pending;
    }
    if (r.outcome == SendOutcome::kTaken && TakeNextFreeName(job)) return;
    Failed(job, r, e);
  }

  void Sent(const SendJob& job, const SendResult& r, UploadEntry& e) {
    e.state = r.hashed ? UploadState::Checked : UploadState::Done;
    e.sent = m_host.Now();
    e.reason.clear();
    m_queue.Changed(job.index);
    m_state.nextTry.erase(job.index);
    if (r.outcome == SendOutcome::kSent) {
      m_state.recent.emplace_back(e.sent, e.size);
      while (m_state.recent.size() > 1 && m_state.recent.front().first < e.sent - kRateWindow)
        m_state.recent.pop_front();
    }
    m_run.LogMessage("Uploaded " + e.source + " to " + ShownRemote(m_sender.Fs()) + "/" + e.remote +
                     (r.outcome == SendOutcome::kAlreadyThere ? " (already there)"
                      : r.hashed                              ? " (checked)"
                                                              : " (size only)"));
  }

  // Another file has the name: the photo takes the next free one, recorded before it is sent.
  bool TakeNextFreeName(const SendJob& job) {
    for (int n = 2; n <= 1000; ++n) {
      const std::string next = CollisionName(job.remote, n);
      if (m_queue.RemoteTaken(next)) continue;
      RcReply reply;
      bool hashed = false;
      const int same = m_sender.Holds(job, next, reply, hashed);
      if (same < 0) break;
      if (same == 0 && reply.body["item"].IsObject()) continue;
      m_queue.SetRemote(job.index, next);
      int err = 0;
      if (!m_queue.WriteNow(job.index, &err)) break;
      m_todo.push_front(JobOf(job.index));
      return true;
    }
    return false;
  }

  // The remote answers but took not this photo: it waits longer each time, then is given up.
  void Failed(const SendJob& job, const SendResult& r, UploadEntry& e) {
    m_result = false;
    e.reason = WithoutCredentials(r.outcome == SendOutcome::kTaken  ? "no free name on the remote"
                                  : r.outcome == SendOutcome::kMark ? "the upload queue cannot be written"
                                                                    : r.why);
    m_state.lastError = e.reason;
    if (r.outcome == SendOutcome::kChanged) {
      e.state = UploadState::Failed;
    } else if (e.Waiting() && ++e.tries >= kMaxTries) {
      e.state = UploadState::Failed;
    }
    if (e.state == UploadState::Failed) m_sender.DropTemp(job.remote);
    m_queue.Changed(job.index);
    m_state.nextTry[job.index] = m_now + std::min(kMaxBackOff, kFirstBackOff << std::min(e.tries, 10));
    if (m_state.failureSaid.insert(e.source + "|" + e.reason).second || e.state == UploadState::Failed)
      m_run.LogMessage("FAILED: Upload " + e.source + ": " + e.reason +
                       (e.state == UploadState::Failed ? " (given up)" : ""));
  }

  ActionRun& m_run;
  RunHost& m_host;
  UploadRunState& m_state;
  UploadQueue& m_queue;
  const std::string m_dest;
  const std::time_t m_now;
  const size_t m_waiting;  // every waiting photo, for the offline line
  std::atomic<bool> m_stop{false};
  UploadSender m_sender;
  const std::string m_description;
  std::chrono::steady_clock::time_point m_deadline;
  std::deque<SendJob> m_todo;
  size_t m_total = 0;  // photos this pass took to send
  size_t m_done = 0;
  bool m_result = true;
  bool m_wentOffline = false;
  std::string m_offlineWhy;
};

}  // namespace

bool ActionRun::UploadFiles(const std::vector<std::string>& files) {
  const std::string dest = m_settings.m_strDestFolder;
  if (!IsPlainRemote(dest)) {
    LogMessage("FAILED: The destination is not an rclone remote: " + ShownRemote(dest));
    return false;
  }
  if (!m_memory.upload) m_memory.upload.reset(new UploadRunState);
  UploadRunState& state = *m_memory.upload;
  if (state.busy) return true;
  struct Busy {
    bool& flag;
    ~Busy() { flag = false; }
  } busy{state.busy = true};
  UploadQueue& queue = QueueFor(*this, state, dest);
  const std::time_t now = m_host->Now();
  QueueForUpload(files, queue, now);
  size_t waiting = 0;
  const std::vector<size_t> order = SendOrder(queue, state, now, waiting);
  if (order.empty() || now < state.nextAttempt) return true;
  RcloneDaemon* rclone = StartDaemon(*this, state, now);
  if (!rclone) return false;
  UploadPass pass(*this, state, *rclone, dest, now, waiting);
  if (!pass.LookAtRemote()) return false;
  if (!pass.Prepare(order)) return false;
  pass.SendAll();
  return pass.Finish();
}

// New photos, and new versions of photos already sent, join the queue.
void ActionRun::QueueForUpload(const std::vector<std::string>& files, UploadQueue& queue, std::time_t now) {
  std::vector<UploadEntry> added;
  std::set<std::string> names;
  const NamingContext context = MakeNamingContext();
  for (const std::string& path : files) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const UploadEntry* known = queue.Find(path);
    if (known && known->size == st.st_size && known->modTime == int64_t(st.st_mtime)) continue;
    BriskoExifFields fields;
    if (m_settings.m_bCreateNewSubfolder || m_settings.m_bRenameFile) ReadFields(path, fields);
    std::string folder;
    if (m_settings.m_bCreateNewSubfolder)
      folder = m_settings.m_SubfolderTemplate.GenerateSubfolderName(m_pIdTxt, fields, path, context);
    const PathParts parts = SplitPath(path);
    std::string name = parts.name + parts.extension;
    if (m_settings.m_bRenameFile) {
      const std::string renamed =
          m_settings.m_RenameTemplate.GenerateNewName(path, m_pIdTxt, fields, false, context);
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
}

UploadStatus ActionRun::UploadState() const {
  UploadStatus status;
  status.remote = ShownRemote(m_settings.m_strDestFolder);
  if (!m_memory.upload || !m_memory.upload->queue) return status;
  const UploadRunState& state = *m_memory.upload;
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
  status.late = m_settings.m_iUploadLateMinutes > 0 && status.oldestQueued != 0 &&
                now - status.oldestQueued > int64_t(m_settings.m_iUploadLateMinutes) * 60;
  return status;
}

}  // namespace brisko
