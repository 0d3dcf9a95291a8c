// Tag batches: their record, the hidden tagged copies, the batch's steps and their recovery.
#include "engine/records/tag_batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "engine/base/record_file.h"
#include "engine/base/run_support.h"
#include "naming/brisko_exif_fields.h"
#include "support/path_util.h"
#include "support/safe_output.h"
#include "support/volume_identity.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "brisko-tag-batch 1";
constexpr size_t kRemovers = 4;
// The body is the move batch's; only its first line differs.
constexpr std::string_view kMoveBatchHeader = "brisko-move-batch 1";

enum class Where { There, Gone, Unknown };

// A source that cannot be looked at, or whose folder is not there (a card taken out), is not
// proof of anything.
Where Probe(const std::string& path, const FileIdentity& recorded) {
  switch (ProbeSource(path, recorded)) {
    case SourceState::There:
      return Where::There;
    case SourceState::Gone:
      return Where::Gone;
    default:
      return Where::Unknown;
  }
}

// The copy as recorded: size and time, and the inode where its file system keeps one.
bool IsRecordedCopy(const std::string& path, const FileIdentity& copy) {
  return StillTheRecordedFile(path, copy);
}

}  // namespace

std::string FormatTagBatchRecord(const MoveBatchRecord& record) {
  std::string text = FormatMoveBatchRecord(record);
  return std::string(kHeader) + text.substr(kMoveBatchHeader.size());
}

bool ParseTagBatchRecord(std::string_view text, MoveBatchRecord& record) {
  if (text.size() > kMaxMoveBatchRecordBytes || text.substr(0, kHeader.size()) != kHeader) return false;
  std::string body(kMoveBatchHeader);
  body += text.substr(kHeader.size());
  return ParseMoveBatchRecord(body, record);
}

bool WriteTaggedCopy(const std::string& source, const std::string& folder, BriskoExifFields& fields,
                     std::string& hidden, FileIdentity& sourceIdentity) {
  hidden.clear();
  if (!ReadFileIdentity(source, sourceIdentity)) return false;
  int fd = -1;
  std::string name;
  for (int tries = 0; fd < 0 && tries < 100; ++tries) {
    // The file layer's hidden form: scans pass over it, and a crash before the batch is
    // recorded leaves only a leftover, never a photo under a name.
    name = HiddenTempName(WithTrailingSeparator(folder), "tag");
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = fields.WriteToDescriptor(source, fd);
  // Start writing it out now: the batch's one flush then finds little left to do.
  if (ok) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (::close(fd) != 0) ok = false;
  // Read between two looks that agree: a photo saved anew meanwhile is not the one copied.
  if (!ok || !StillTheRecordedFile(source, sourceIdentity)) {
    ::unlink(name.c_str());
    return false;
  }
  hidden = std::move(name);
  return true;
}

TagBatch::TagBatch(std::string tempFolder, std::string action, bool overwrite)
    : m_tempFolder(std::move(tempFolder)), m_action(std::move(action)), m_overwrite(overwrite) {}

TagBatch::~TagBatch() {
  Clear();
}

void TagBatch::Add(Entry entry) {
  m_bytes += entry.bytes;
  m_entries.push_back(std::move(entry));
}

bool TagBatch::Full() const {
  constexpr uint64_t kMaxBytes = uint64_t{256} << 20;
  return m_entries.size() >= kMaxFiles || m_bytes >= kMaxBytes;
}

void TagBatch::Fail(Entry& entry, int err) {
  if (!entry.temp.empty()) ::unlink(entry.temp.c_str());
  entry.temp.clear();
  entry.outcome = Outcome::Failed;
  entry.err = err != 0 ? err : EIO;
}

void TagBatch::Commit() {
  auto pending = [](const Entry& e) { return e.outcome == Outcome::Pending; };
  // One flush per file system (syncfs), each file alone where that fails.
  std::vector<FileIdentity> copies(m_entries.size());
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (pending(m_entries[i]) && !ReadFileIdentity(m_entries[i].temp, copies[i])) Fail(m_entries[i], errno);
  }
  std::vector<uint64_t> flushed;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const uint64_t device = copies[i].device;
    bool seen = false;
    for (uint64_t d : flushed) seen = seen || d == device;
    if (!pending(m_entries[i]) || seen) continue;
    flushed.push_back(device);
    const int fd = ::open(m_entries[i].temp.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0) ::close(fd);
    for (size_t k = i; !synced && k < m_entries.size(); ++k) {
      if (!pending(m_entries[k]) || copies[k].device != device) continue;
      const int f = ::open(m_entries[k].temp.c_str(), O_RDONLY | O_CLOEXEC);
      const bool ok = f >= 0 && ::fsync(f) == 0;
      const int err = errno;
      if (f >= 0) ::close(f);
      if (!ok) Fail(m_entries[k], err);
    }
  }
  MoveBatchRecord record;
  record.action = m_action;
  record.overwrite = m_overwrite;
  std::vector<size_t> order;                // the entry of each record line
  std::map<std::string, uint64_t> volumes;  // of each source folder, looked at once
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const Entry& e = m_entries[i];
    if (!pending(e)) continue;
    record.entries.push_back({e.source, e.sourceIdentity, e.target, copies[i], e.temp});
    const std::string folder = SplitPath(e.source).folder;
    auto known = volumes.find(folder);
    if (known == volumes.end())
      known = volumes.emplace(folder, VolumeIdOf(folder.empty() ? "." : folder)).first;
    record.entries.back().sourceIdentity.volume = known->second;
    order.push_back(i);
  }
  if (record.entries.empty()) return;
  MoveJournal::Reached("tag batch flushed");
  // A record holds no more than its readers take: a larger batch goes a part at a time, each
  // part's record complete on its own.
  const MoveBatchRecord head{record.action, record.overwrite, {}};
  const size_t bare = FormatTagBatchRecord({{}, m_overwrite, {}}).size();
  auto bytesOf = [&](size_t i) {
    return FormatTagBatchRecord({{}, m_overwrite, {record.entries[i]}}).size() - bare;
  };
  for (const auto& [first, end] : RunsWithin(order.size(), FormatTagBatchRecord(head).size(),
                                             RecordBound(kMaxMoveBatchRecordBytes), bytesOf)) {
    MoveBatchRecord part = head;
    part.entries.assign(record.entries.begin() + long(first), record.entries.begin() + long(end));
    CommitPart(part, std::vector<size_t>(order.begin() + long(first), order.begin() + long(end)));
  }
}

void TagBatch::CommitPart(const MoveBatchRecord& record, const std::vector<size_t>& part) {
  // Without the record no copy takes a final name: a crash could then double a photo.
  HeldRecord journal(m_tempFolder, kTagBatchSuffix, kMaxMoveBatchRecordBytes);
  int err = 0;
  if (!journal.Write(FormatTagBatchRecord(record), record.entries.front().source, &err)) {
    for (size_t i : part) Fail(m_entries[i], err);
    return;
  }
  MoveJournal::Reached("tag batch recorded");
  PlaceCopies(part);
  MoveJournal::Reached("tag batch placed");
  MoveBatchRecord waiting = record;
  waiting.entries.clear();
  std::vector<std::string> heldCopies;
  // Out of reach (a card pulled): the copy may be the only one; a later pass decides, and until
  // then no action takes the copy on.
  auto wait = [&](Entry& e) {
    e.outcome = Outcome::Waiting;
    heldCopies.push_back(e.placed);
    KeepWaitingEntry(record, e.source, e.placed, waiting);
  };
  const std::vector<int> removed = RemoveSources(part);
  const std::vector<std::string> sourceFolders = SettleSources(part, removed, wait);
  // So that a power cut cannot bring back a source whose move is reported. A card pulled before
  // its folder is flushed may come back as it was: those moves wait for it, copies held.
  for (const std::string& folder : sourceFolders) {
    if (SyncFolderHolding(folder + ".")) continue;
    for (size_t i : part) {
      Entry& e = m_entries[i];
      if (e.outcome == Outcome::Moved && SplitPath(e.source).folder == folder) wait(e);
    }
  }
  MoveJournal::Reached("tag batch sources removed");
  if (waiting.entries.empty()) {
    journal.Remove();
  } else {
    journal.Write(FormatTagBatchRecord(waiting), waiting.entries.front().source);
    journal.Keep(std::move(heldCopies));
  }
}

void TagBatch::PlaceCopies(const std::vector<size_t>& part) {
  const Collision collision = m_overwrite ? Collision::Replace : Collision::Rename;
  auto pending = [](const Entry& e) { return e.outcome == Outcome::Pending; };
  std::vector<std::string> folders;
  for (size_t i : part) {
    Entry& e = m_entries[i];
    if (!pending(e)) continue;
    int moveErr = 0;
    if (!MoveFile(e.temp, e.target, collision, &e.placed, &moveErr)) {
      Fail(e, moveErr);
      continue;
    }
    e.temp.clear();
    const std::string folder = SplitPath(e.placed).folder;
    bool seen = false;
    for (const std::string& f : folders) seen = seen || f == folder;
    if (!seen) folders.push_back(folder);
  }
  for (const std::string& folder : folders) {
    if (SyncFolderHolding(folder + ".")) continue;
    const int e = errno ? errno : EIO;
    for (size_t i : part) {
      Entry& entry = m_entries[i];
      if (!pending(entry) || entry.placed.empty() || SplitPath(entry.placed).folder != folder) continue;
      // A new name is taken back; a replaced file is gone already, so its successor stays.
      if (!m_overwrite) ::unlink(entry.placed.c_str());
      entry.placed.clear();
      Fail(entry, e);
    }
  }
}

std::vector<int> TagBatch::RemoveSources(const std::vector<size_t>& part) {
  auto pending = [](const Entry& e) { return e.outcome == Outcome::Pending; };
  // Each removal frees the photo's blocks, which costs milliseconds on some disks (online
  // discard) while the CPU idles: a few run side by side.
  std::vector<int> removed(m_entries.size(), 0);
  std::atomic<size_t> next{0};
  auto remove = [&] {
    for (size_t k; (k = next++) < part.size();) {
      const size_t i = part[k];
      const Entry& e = m_entries[i];
      if (!pending(e)) continue;
      const FileIdentity& was = e.sourceIdentity;
      auto still = [&was](const std::string& at) { return StillTheRecordedFile(at, was); };
      removed[i] = still(e.source)        ? RemoveSourceIfUnchanged(e.source, still)
                   : PathExists(e.source) ? EBUSY
                                          : ENOENT;
      // A share that refuses to remove a file open here is asked again once the claim is let go.
      const int r = removed[i];
      if (e.claim && (r == EACCES || r == EPERM || r == ETXTBSY)) {
        m_entries[i].claim.reset();
        removed[i] = RemoveSourceIfUnchanged(e.source, still);
      }
      // The last close of a removed file frees its blocks: here, side by side, not one by one.
      if (removed[i] == 0) m_entries[i].claim.reset();
    }
  };
  {
    std::vector<std::thread> helpers;
    for (size_t k = 1; k < kRemovers && k < part.size(); ++k) helpers.emplace_back(remove);
    remove();
    for (std::thread& t : helpers) t.join();
  }
  return removed;
}

std::vector<std::string> TagBatch::SettleSources(const std::vector<size_t>& part,
                                                 const std::vector<int>& removed,
                                                 const std::function<void(Entry&)>& wait) {
  auto pending = [](const Entry& e) { return e.outcome == Outcome::Pending; };
  std::vector<std::string> sourceFolders;
  for (size_t i : part) {
    Entry& e = m_entries[i];
    if (!pending(e)) continue;
    const FileIdentity& was = e.sourceIdentity;
    auto still = [&was](const std::string& at) { return StillTheRecordedFile(at, was); };
    int r = removed[i];
    if (r == ENOENT && GoneFromItsFolder(e.source, was.device)) {
      // Renamed while its copy was made: still this photo, which a pass would take again under
      // its new name. It goes as the source would have, or stays with its copy taken back.
      const std::string renamed = FindRenamed(e.source, was, m_takes);
      if (!renamed.empty()) {
        r = RemoveSourceIfUnchanged(renamed, still);
        if (r == 0) e.renamed = renamed;
        if (r == ENOENT) r = EBUSY;
      } else {
        r = 0;  // gone already (taken by another program): the copy is the only one left, and stays
      }
    }
    if (r == 0) {
      e.outcome = Outcome::Moved;
      const std::string folder = SplitPath(e.source).folder;
      if (sourceFolders.empty() || sourceFolders.back() != folder) sourceFolders.push_back(folder);
      continue;
    }
    if (r == EBUSY || still(e.source)) {
      // The source is there: the copy goes (unless it replaced a file) and the photo stays.
      if (!m_overwrite) ::unlink(e.placed.c_str());
      e.placed.clear();
      e.outcome = r == EBUSY ? Outcome::Changed : Outcome::Failed;
      e.err = r;
      continue;
    }
    wait(e);
  }
  return sourceFolders;
}

void TagBatch::Clear() {
  for (Entry& e : m_entries) {
    if (!e.temp.empty()) ::unlink(e.temp.c_str());
  }
  m_entries.clear();
  m_bytes = 0;
}

namespace {

class TagRecoverer {
 public:
  TagRecoverer(std::string folder, const MoveRecovery& how) : m_folder(std::move(folder)), m_how(how) {}

  int Run(HeldRecord& journal, const std::string* text) {
    MoveBatchRecord record;
    if (!text || !ParseTagBatchRecord(*text, record) || !InFolders(record)) {
      // Left for the operator: it may still name the only copy of a photo.
      if (m_how.anyOwner && FirstReport(journal.Path()))
        Log("FAILED: Unreadable move record " + journal.Path());
      return 0;
    }
    if (!m_how.Owns(record.action)) return 0;
    return Complete(record, journal);
  }

 private:
  void Log(const std::string& text) {
    if (m_how.log) m_how.log(text);
  }

  // Every hidden copy sits beside its target (the parser checks that) under our own form.
  static bool InFolders(const MoveBatchRecord& record) {
    for (const MoveBatchRecord::Entry& e : record.entries) {
      const PathParts parts = SplitPath(e.temp);
      if (HiddenTempWriter(parts.name + parts.extension) == 0) return false;
    }
    return true;
  }

  // Where the recorded copy went: the target or a "name (n).ext" a late collision gave it.
  static std::string Arrival(const MoveBatchRecord::Entry& e) {
    FileIdentity source;
    const bool sourceThere = ReadFileIdentity(e.source, source);
    for (int n = 1; n <= 9999; ++n) {
      const std::string candidate = n == 1 ? e.target : CollisionName(e.target, n);
      FileIdentity id;
      if (!ReadFileIdentity(candidate, id)) {
        if (n > 1 && !PathExists(candidate)) break;  // names are taken in order
        continue;
      }
      if (candidate == e.source || (sourceThere && id.device == source.device && id.inode == source.inode))
        continue;
      if (IsRecordedCopy(candidate, e.copyIdentity)) return candidate;
    }
    return {};
  }

  void Recovered(const MoveBatchRecord::Entry& e, const std::string& at) {
    if (m_how.arrived) m_how.arrived(at);
    Log(FillIn("Recovered file from %s to %s", e.source, at));
  }

  // A tagged copy's bytes differ from its source, so only the inode number (with size and time)
  // can tell a renamed source: on a file system that renumbers files there is no telling, and
  // the photo may then be moved twice (never lost).
  std::string Renamed(const std::string& gone, const FileIdentity& was) {
    return FindRenamed(gone, was, m_how.takes);
  }

  // What a record's completion has found so far, entry by entry.
  struct Progress {
    MoveBatchRecord waiting;
    std::vector<std::string> folders, held;
  };

  int Complete(const MoveBatchRecord& record, HeldRecord& journal) {
    int placed = 0;
    Progress progress;
    progress.waiting = record;
    progress.waiting.entries.clear();
    ReleaseHeld(journal.Path());
    for (const MoveBatchRecord::Entry& e : record.entries) {
      if (CompleteEntry(record, e, progress)) ++placed;
    }
    for (const std::string& f : progress.folders) SyncFolderHolding(f);
    MoveBatchRecord& waiting = progress.waiting;
    if (waiting.entries.empty()) {
      journal.Remove();
    } else {
      if (waiting.entries.size() != record.entries.size())
        journal.Write(FormatTagBatchRecord(waiting), waiting.entries.front().source);
      const std::string& s = waiting.entries.front().source;
      if (FirstReport(journal.Path(), kWaitingReport))
        Log(FillIn("Waiting for folder %s to finish the move of %s", SplitPath(s).folder, s));
      journal.Keep(std::move(progress.held));
    }
    return placed;
  }

  // True when the entry's photo was placed.
  bool CompleteEntry(const MoveBatchRecord& record, const MoveBatchRecord::Entry& e, Progress& progress) {
    auto still = [&e](const std::string& at) { return StillTheRecordedFile(at, e.sourceIdentity); };
    // A removal the crash cut short: finished when it is the copied file, else put back.
    SettleSetAside(e.source, still);
    const Where source = Probe(e.source, e.sourceIdentity);
    if (source == Where::Unknown) {
      progress.waiting.entries.push_back(e);
      // Its placed copy is held back until the source is back: moved on meanwhile, it would
      // leave nothing to tell that the returning photo was moved already.
      progress.held.push_back(Arrival(e));
      return false;
    }
    // Renamed while the station was down: still this photo, and the next pass would take it
    // again under its new name.
    const std::string renamed = source == Where::Gone ? Renamed(e.source, e.sourceIdentity) : std::string();
    struct stat st {};
    if (!renamed.empty() && ::lstat(e.temp.c_str(), &st) == 0) {
      // Its copy never took its name: dropped, and the next pass moves the photo as it is now.
      ::unlink(e.temp.c_str());
      Log(FillIn("Left file %s: renamed from %s before its move was finished", renamed, e.source));
      return false;
    }
    if (!renamed.empty()) return RemoveRenamed(e, renamed, progress);
    if (::lstat(e.temp.c_str(), &st) == 0) return PlaceHidden(record, e, source, progress);
    const std::string at = Arrival(e);
    if (at.empty()) return false;  // never placed: the source (if any) moves on the next pass
    if (source == Where::There && !RemoveSource(record, e, at, progress)) return false;
    Recovered(e, at);
    return true;
  }

  // The source renamed goes, its copy in place counting as arrived; true when it did.
  bool RemoveRenamed(const MoveBatchRecord::Entry& e, const std::string& renamed, Progress& progress) {
    const std::string at = Arrival(e);
    if (at.empty()) return false;
    auto still = [&e](const std::string& f) { return StillTheRecordedFile(f, e.sourceIdentity); };
    const int err = RemoveSourceIfUnchanged(renamed, still);
    if (err != 0) {
      // Changed or held since: it stays, and so does the copy of what it was.
      Log(FillIn("Left file %s: changed since its copy %s was made", renamed, at));
      return false;
    }
    progress.folders.push_back(renamed);
    Log(FillIn("Deleted file %s: renamed from %s", renamed, e.source));
    Recovered(e, at);
    return true;
  }

  // A copy still under its hidden name; true when it took its place.
  bool PlaceHidden(const MoveBatchRecord& record, const MoveBatchRecord::Entry& e, Where source,
                   Progress& progress) {
    // Never renamed into place: with the source there the batch is rolled back and the
    // next pass moves the photo; with the source gone the copy is all that is left.
    if (source == Where::There || !IsRecordedCopy(e.temp, e.copyIdentity)) {
      if (source == Where::There) ::unlink(e.temp.c_str());
      return false;
    }
    std::string at;
    if (!MoveFile(e.temp, e.target, record.overwrite ? Collision::Replace : Collision::Rename, &at)) {
      progress.waiting.entries.push_back(e);
      return false;
    }
    SyncFolderHolding(at);
    Recovered(e, at);
    return true;
  }

  // The source still there, its copy in place: it goes while it is still the copied file. False
  // when the entry is settled (or waits) without its copy counting as arrived.
  bool RemoveSource(const MoveBatchRecord& record, const MoveBatchRecord::Entry& e, const std::string& at,
                    Progress& progress) {
    auto still = [&e](const std::string& f) { return StillTheRecordedFile(f, e.sourceIdentity); };
    MoveJournal::Reached("tag batch entry found");
    int err = still(e.source) ? RemoveSourceIfUnchanged(e.source, still) : EBUSY;
    if (err == EBUSY && !PathExists(e.source)) err = ENOENT;
    if (err == ENOENT && ProbeSource(e.source, e.sourceIdentity) == SourceState::Unknown) {
      // A card taken out during the removal proves nothing: wait for it, the copy held.
      progress.waiting.entries.push_back(e);
      progress.held.push_back(at);
      return false;
    }
    if (err == EBUSY) {
      Log(FillIn("Left file %s: changed since its copy %s was made", e.source, at));
      return false;
    }
    if (err != 0 && err != ENOENT) {
      // As a failed move: the source stays, once.
      if (record.overwrite) return false;
      if (still(e.source)) {
        ::unlink(at.c_str());
      } else {
        progress.waiting.entries.push_back(e);
      }
      return false;
    }
    if (err == 0) progress.folders.push_back(e.source);
    return true;
  }

  std::string m_folder;
  const MoveRecovery& m_how;
};

}  // namespace

int RecoverTagBatches(const std::string& tempFolder, const MoveRecovery& how) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  TagRecoverer recoverer(folder, how);
  return RecoverRecords(
      folder, kTagBatchSuffix, kMaxMoveBatchRecordBytes,
      [&](HeldRecord& record, const std::string* text) { return recoverer.Run(record, text); });
}

}  // namespace brisko
