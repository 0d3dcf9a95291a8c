// The completion of move records a crash or a card taken out left unfinished.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "engine/base/record_file.h"
#include "engine/base/run_support.h"
#include "engine/records/move_journal.h"
#include "support/content_hash.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

// A file directly inside `folder` (which ends in a separator).
bool DirectlyIn(const std::string& path, const std::string& folder) {
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return ValidFileName(path.substr(folder.size()));
}

// A copy that can stand in for the photo: a non-empty regular file, and a JPEG where the name says so.
bool LooksWhole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  unsigned char head[2] = {0, 0};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  std::string ext = SplitPath(path).extension;
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (ok && (ext == ".jpg" || ext == ".jpeg"))
    ok = ::pread(fd, head, 2, 0) == 2 && head[0] == 0xFF && head[1] == 0xD8;
  ::close(fd);
  return ok;
}

// Whether the file at `path`, as the disk holds it, has the hash `hash`.
bool ReadsBackAs(const std::string& path, const ContentHash& hash) {
  ContentHash back;
  return HashFromDisk(path, back) == 0 && back == hash;
}

void RemoveIfThere(const std::string& path) {
  if (!path.empty()) ::unlink(path.c_str());
}

// The paths a record may touch: only files inside the temp folder are ever removed or moved.
bool FitsFolder(const MoveRecord& r, const std::string& folder) {
  if (r.step == MoveStep::Copying) {
    if (!DirectlyIn(r.copy, folder)) return false;
    if (!r.scratch.empty() && !DirectlyIn(r.scratch, folder)) return false;
    return r.photo == r.source || DirectlyIn(r.photo, folder);
  }
  return DirectlyIn(r.photo, folder);
}

class Recoverer {
 public:
  Recoverer(std::string folder, const MoveRecovery& how) : m_folder(std::move(folder)), m_how(how) {}

  // True when a photo was placed.
  bool Run(HeldRecord& claimed, const std::string* text) {
    MoveJournal journal(std::move(claimed));
    MoveRecord record;
    MoveBatchRecord batch;
    if (text && ParseMoveBatchRecord(*text, batch)) {
      if (!m_how.Owns(batch.action)) return false;
      return CompleteBatch(batch, journal) > 0;
    }
    if (!text || !ParseMoveRecord(*text, record) || !FitsFolder(record, m_folder)) {
      // Left where it is for the operator: it may still name a photo in the temp folder.
      const std::string& path = journal.Path();
      if (m_how.anyOwner) Once(path, {}, "FAILED: Unreadable move record " + path);
      return false;
    }
    if (!m_how.Owns(record.action)) return false;
    return Complete(record, journal);
  }

 private:
  void Log(const std::string& text) {
    if (m_how.log) m_how.log(text);
  }
  void Once(const std::string& record, std::string_view about, const std::string& text) {
    if (FirstReport(record, about)) Log(text);
  }

  // Where the copy of a batch entry went: the target, or the "name (n).ext" a late collision
  // gave it; "" when it is not in place. Never the source itself.
  static std::string Arrival(const MoveBatchRecord::Entry& e, bool sourceThere, bool sameBytes = true) {
    FileIdentity source;
    if (sourceThere && !ReadFileIdentity(e.source, source)) return {};
    for (int n = 1; n <= 9999; ++n) {
      std::string candidate = n == 1 ? e.target : CollisionName(e.target, n);
      FileIdentity id;
      if (!ReadFileIdentity(candidate, id)) {
        if (n > 1 && !PathExists(candidate)) break;  // names are taken in order
        continue;
      }
      // Placed by a rename: still the file that was recorded, under its inode number too.
      if (!StillTheRecordedFile(candidate, e.copyIdentity)) continue;
      if (sourceThere && (candidate == e.source || (id.device == source.device && id.inode == source.inode)))
        continue;
      if (sourceThere && sameBytes && !SameContent(e.source, candidate)) continue;
      return candidate;
    }
    return {};
  }

  // A source folder's regular files, read once per record: where a recorded source that is gone
  // may still be under another name (renamed while the station was down).
  struct Listing {
    bool inodes = true;  // the file system keeps inode numbers
    std::vector<std::pair<std::string, FileIdentity>> files;
  };
  static constexpr size_t kMaxListed = 100000;

  static const Listing& ListingOf(const std::string& folder, std::map<std::string, Listing>& listings) {
    auto [it, fresh] = listings.try_emplace(folder);
    if (!fresh) return it->second;
    Listing& listing = it->second;
    listing.inodes = KeepsInodeNumbers(folder);
    if (DIR* dir = ::opendir(folder.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        if (listing.files.size() >= kMaxListed) break;
        const std::string_view name(entry->d_name);
        if (IsFileLayerTempName(name) || IsSetAsideName(name)) continue;
        FileIdentity id;
        if (ReadFileIdentity(folder + entry->d_name, id)) listing.files.emplace_back(entry->d_name, id);
      }
      ::closedir(dir);
    }
    return listing;
  }

  // The file in the folder of `gone` that is `gone` renamed: the identity `was` (with the inode
  // number where the file system keeps them), and the bytes of `copy` where `sameBytes` asks for
  // them or the inode numbers cannot tell; "" when there is none. Never `copy` itself. The name
  // may be another entry's source: renamed over that one, it is this photo all the same.
  std::string Renamed(const std::string& gone, const FileIdentity& was, const std::string& copy,
                      bool sameBytes, std::map<std::string, Listing>& listings) {
    const std::string folder = SplitPath(gone).folder;
    const Listing& listing = ListingOf(folder, listings);
    FileIdentity made;
    if (!ReadFileIdentity(copy, made)) return {};
    for (const auto& [name, id] : listing.files) {
      if (id.size != was.size || id.modTimeNs != was.modTimeNs || (listing.inodes && id.inode != was.inode))
        continue;
      const std::string path = folder + name;
      if (path == copy || (id.device == made.device && id.inode == made.inode)) continue;
      // A name no pass takes is never moved twice (a hard link the user made, say).
      if (m_how.takes && !m_how.takes(name)) continue;
      if ((!sameBytes && listing.inodes) || SameContent(path, copy)) return path;
    }
    return {};
  }

  void Waiting(MoveJournal& journal, const std::string& source) {
    Once(journal.Path(), kWaitingReport,
         FillIn("Waiting for folder %s to finish the move of %s", SplitPath(source).folder, source));
  }

  // An entry of a shot whose copy (or, for a rename, whose source) is still the recorded file
  // goes into place, so the shot is finished whole. False when its source is out of reach.
  static bool PlaceShotEntry(const MoveBatchRecord::Entry& e) {
    const SourceState state = ProbeSource(e.source, e.sourceIdentity);
    if (state == SourceState::Unknown) return false;
    const bool rename = e.temp.empty();
    if (rename ? state != SourceState::There || !StillTheRecordedFile(e.source, e.sourceIdentity)
               : !StillTheRecordedFile(e.temp, e.copyIdentity))
      return true;
    if (!Arrival(e, state == SourceState::There, false).empty()) return true;
    const std::string& from = rename ? e.source : e.temp;
    for (int n = 1; n <= 9999; ++n) {
      const std::string to = n == 1 ? e.target : CollisionName(e.target, n);
      const int err = RenameNoReplace(from, to);
      if (err == 0) SyncFolderHolding(to);
      if (err != EEXIST) break;
    }
    return true;
  }

  // What a batch's completion has found so far, entry by entry.
  struct BatchProgress {
    std::vector<std::pair<std::string, const MoveBatchRecord::Entry*>> folders;   // removed from
    std::vector<std::pair<const MoveBatchRecord::Entry*, std::string>> arrivals;  // and where to
    std::map<std::string, Listing> listings;
    MoveBatchRecord waiting;
    std::vector<std::string> held;
  };

  // The entry waits in the record for a later pass, its copy (if any is in place) held back.
  static void WaitWithCopy(const MoveBatchRecord::Entry& e, bool sameBytes, BatchProgress& progress) {
    progress.waiting.entries.push_back(e);
    const std::string at = Arrival(e, false, sameBytes);
    if (!at.empty()) progress.held.push_back(at);
  }

  // A batch cut short between placing its copies and removing their sources: a source goes only
  // when its copy is in place with the same bytes and it is still the file that was copied.
  // Anything else is left as it is; the next pass moves what is still at its listed place. An
  // entry whose source folder is not there (the card taken out) stays in the record for a later
  // pass: a missing card is no proof that its photos left it.
  int CompleteBatch(const MoveBatchRecord& record, MoveJournal& journal) {
    BatchProgress progress;
    progress.waiting = record;
    progress.waiting.entries.clear();
    ReleaseHeld(journal.Path());
    for (const MoveBatchRecord::Entry& e : record.entries) CompleteBatchEntry(record, e, progress);
    const std::set<const MoveBatchRecord::Entry*> unsettled = FlushRemovals(progress);
    const int placed = ReportArrivals(progress, unsettled);
    FinishBatchRecord(record, journal, progress);
    return placed;
  }

  void CompleteBatchEntry(const MoveBatchRecord& record, const MoveBatchRecord::Entry& e,
                          BatchProgress& progress) {
    if (record.together && !PlaceShotEntry(e)) {
      // Out of reach (a card taken out): the entry waits with its copy for a later pass.
      WaitWithCopy(e, false, progress);
      return;
    }
    // A copy the crash left under its hidden name is never a finished file.
    if (!e.temp.empty()) ::unlink(e.temp.c_str());
    // Set aside by a removal the crash cut short: finished when it is the copied file, else put back.
    SettleSetAside(e.source,
                   [&](const std::string& at) { return StillTheRecordedFile(at, e.sourceIdentity); });
    const SourceState state = ProbeSource(e.source, e.sourceIdentity);
    if (state == SourceState::Unknown) {
      WaitWithCopy(e, true, progress);
      return;
    }
    const bool sourceThere = state == SourceState::There;
    FileIdentity now;
    // Not a regular file any more: not the photo that was copied.
    if (sourceThere && !ReadFileIdentity(e.source, now)) return;
    // A checked copy is judged by its hash, read back from the disk, rather than by a compare
    // that the page cache may answer.
    const std::string at = Arrival(e, sourceThere, !record.together && !e.hash.set);
    if (at.empty()) return;
    // Renamed while the station was down: still this move's photo, and its copy is in place.
    const std::string renamed =
        sourceThere ? std::string() : Renamed(e.source, e.sourceIdentity, at, true, progress.listings);
    if (e.hash.set && !ReadsBackAs(at, e.hash)) {
      if (sourceThere || !renamed.empty()) {
        // The photo is still there: the copy that differs goes, and the next pass copies anew.
        ::unlink(at.c_str());
        SyncFolderHolding(at);
        Log(FillIn("FAILED: Recover file from %s to %s", e.source, at) +
            ": its copy read back from the disk differed; the photo stays at its source");
        return;
      }
      // The last copy left is never deleted, whatever it holds.
      Log(FillIn("FAILED: Recover file from %s: its copy %s differs from the photo as it was copied",
                 e.source, at));
    }
    if (!renamed.empty() && !RemoveRenamedSource(record, e, renamed, at, progress)) return;
    if (sourceThere && !RemoveBatchSource(record, e, at, progress)) return;
    // Gone already (removed by a pass the crash cut short): that removal too counts only once
    // its folder is flushed.
    if (!sourceThere) progress.folders.emplace_back(e.source, &e);
    progress.arrivals.emplace_back(&e, at);
  }

  // The source found under a new name goes as the recorded one would have. False when the entry
  // is settled without its copy counting as arrived.
  bool RemoveRenamedSource(const MoveBatchRecord& record, const MoveBatchRecord::Entry& e,
                           const std::string& renamed, const std::string& at, BatchProgress& progress) {
    const int err = RemoveSourceIfUnchanged(renamed, [&](const std::string& aside) {
      return StillTheRecordedFile(aside, e.sourceIdentity) && SameContent(aside, at);
    });
    if (err == EBUSY) {
      Log(FillIn("Left file %s: changed since its copy %s was made", renamed, at));
      return false;
    }
    if (err != 0 && err != ENOENT) {
      // As a failed move the photo stays, once, under its new name (see below).
      if (!record.overwrite && StillTheRecordedFile(renamed, e.sourceIdentity)) ::unlink(at.c_str());
      return false;
    }
    if (err == 0) {
      progress.folders.emplace_back(renamed, &e);
      Log(FillIn("Deleted file %s: renamed from %s", renamed, e.source));
    }
    return true;
  }

  // The source still there goes when it is still the copied file. False when the entry is settled
  // (or waits) without its copy counting as arrived.
  bool RemoveBatchSource(const MoveBatchRecord& record, const MoveBatchRecord::Entry& e,
                         const std::string& at, BatchProgress& progress) {
    MoveJournal::Reached("batch entry compared");
    // Checked last, right before the delete: a photo written to or replaced since its copy
    // was made (or while its bytes were compared) is a new version, and stays.
    int err = 0;
    if (!StillTheRecordedFile(e.source, e.sourceIdentity)) {
      const SourceState again = ProbeSource(e.source, e.sourceIdentity);
      err = again == SourceState::There ? EBUSY : again == SourceState::Gone ? ENOENT : EIO;
    } else {
      err = RemoveSourceIfUnchanged(
          e.source, [&](const std::string& at) { return StillTheRecordedFile(at, e.sourceIdentity); });
    }
    if (err == EBUSY) {
      Log(FillIn("Left file %s: changed since its copy %s was made", e.source, at));
      return false;
    }
    if ((err == ENOENT || err == EIO) && ProbeSource(e.source, e.sourceIdentity) == SourceState::Unknown) {
      // Out of reach meanwhile (a card taken out during the removal) proves nothing: the
      // record waits for the card, and its copy is held back until then.
      progress.waiting.entries.push_back(e);
      progress.held.push_back(at);
      return false;
    }
    if (err == ENOENT) {
      // Gone meanwhile: the copy in place is the photo now, and stays (once the folder is
      // flushed, below: a removal not on the card may come back with it).
      progress.folders.emplace_back(e.source, &e);
    } else if (err != 0) {
      // As a failed move the source stays, once: its copy goes, but only while the source is
      // surely still there (a replaced file is gone already; its successor stays).
      if (record.overwrite) return false;
      if (StillTheRecordedFile(e.source, e.sourceIdentity)) {
        ::unlink(at.c_str());
      } else {
        progress.waiting.entries.push_back(e);
      }
      return false;
    } else {
      progress.folders.emplace_back(e.source, &e);
    }
    return true;
  }

  // Flushes the folders the sources were removed from; the entries whose folder cannot be
  // flushed wait, and are returned.
  std::set<const MoveBatchRecord::Entry*> FlushRemovals(BatchProgress& progress) {
    std::set<std::string> failed, flushed;
    std::set<const MoveBatchRecord::Entry*> unsettled;
    for (const auto& [path, entry] : progress.folders) {
      const std::string folder = SplitPath(path).folder;
      if (!failed.count(folder) && (flushed.count(folder) || SyncFolderHolding(path))) {
        flushed.insert(folder);
        continue;
      }
      // A removal not flushed may come back with the card: the entry waits and is finished
      // again once the folder can be flushed.
      failed.insert(folder);
      if (!unsettled.insert(entry).second) continue;
      WaitWithCopy(*entry, true, progress);
    }
    return unsettled;
  }

  int ReportArrivals(const BatchProgress& progress,
                     const std::set<const MoveBatchRecord::Entry*>& unsettled) {
    int placed = 0;
    for (const auto& [entry, at] : progress.arrivals) {
      if (unsettled.count(entry)) continue;
      if (m_how.arrived) m_how.arrived(at);
      Log(FillIn("Recovered file from %s to %s", entry->source, at));
      ++placed;
    }
    return placed;
  }

  void FinishBatchRecord(const MoveBatchRecord& record, MoveJournal& journal, BatchProgress& progress) {
    if (progress.waiting.entries.empty()) {
      journal.Remove();
    } else {
      if (progress.waiting.entries.size() != record.entries.size()) journal.Write(progress.waiting);
      Waiting(journal, progress.waiting.entries.front().source);
      journal.Keep(std::move(progress.held));
    }
  }

  bool Complete(const MoveRecord& record, MoveJournal& journal) {
    std::string photo, target;
    if (record.step == MoveStep::Copying) {
      // See CompleteBatch: a removal the crash cut short.
      SettleSetAside(record.photo,
                     [&](const std::string& at) { return StillTheRecordedFile(at, record.photoIdentity); });
      const SourceState state = ProbeSource(record.photo, record.photoIdentity);
      if (state == SourceState::Unknown) {
        // The card is not there: the photo may never have left it. Kept for a later pass.
        Waiting(journal, record.photo);
        return false;
      }
      std::map<std::string, Listing> listings;
      const std::string renamed =
          state == SourceState::Gone && record.photo == record.source
              ? Renamed(record.photo, record.photoIdentity, record.copy, false, listings)
              : std::string();
      if (!renamed.empty()) {
        // Renamed while the station was down: the photo never left, and the next pass moves it
        // under its new name.
        RemoveIfThere(record.copy);
        RemoveIfThere(record.scratch);
        Log(FillIn("Left file %s: renamed from %s before its move was finished", renamed, record.source));
        journal.Remove();
        return false;
      }
      if (state == SourceState::There && StillTheRecordedFile(record.photo, record.photoIdentity)) {
        // The photo never left: the copy, if any, is surplus.
        if (record.copy != record.photo) RemoveIfThere(record.copy);
        RemoveIfThere(record.scratch);
        if (record.photo == record.source) {
          journal.Remove();  // the normal run takes the source
          return false;
        }
        photo = record.photo;
      } else if (LooksWhole(record.copy)) {
        RemoveIfThere(record.scratch);
        photo = record.copy;
      } else {
        Log(FillIn("FAILED: Recover file from %s: copy %s missing or damaged", record.source, record.copy));
        journal.Remove();
        return false;
      }
      std::string folder = record.folder;
      if (m_how.finish) {
        // The photo changes in place below; the record must not take it for a stranger then.
        MoveRecord next = record;
        next.photo = photo;
        next.copy = photo;
        if (ReadFileIdentity(photo, next.photoIdentity)) journal.Write(next);
        m_how.finish(record, photo, folder);
      }
      std::string name = record.name;
      if (record.rename && m_how.nameFor) {
        std::string made = m_how.nameFor(record, photo);
        if (ValidFileName(made)) name = std::move(made);
      }
      target = WithTrailingSeparator(folder) + name;
      if (!record.overwrite) target = FreeName(target);
    } else {
      // A crash between setting the photo aside and deleting it (the target on another file
      // system than the temp folder): it is finished when its copy is in place, else put back.
      SettleSetAside(record.photo,
                     [&](const std::string& at) { return !PlacedCopyOf(record.target, at).empty(); });
      if (!PathExists(record.photo)) {
        // The photo left the temp folder before the crash.
        if (PathExists(record.target)) {
          Log(FillIn("Recovered file from %s to %s", record.source, record.target));
          journal.Remove();
          return true;
        }
        Log(FillIn("FAILED: Recover file from %s: copy %s missing or damaged", record.source, record.photo));
        journal.Remove();
        return false;
      }
      if (SameContent(record.photo, record.target)) {
        // Placed already; only the copy in the temp folder was still to go.
        SyncFolderHolding(record.target);
        ::unlink(record.photo.c_str());
        Log(FillIn("Recovered file from %s to %s", record.source, record.target));
        journal.Remove();
        return true;
      }
      photo = record.photo;
      target = record.overwrite ? record.target : FreeName(record.target);
    }
    return Place(record, photo, target, journal);
  }

  static std::string FreeName(std::string path) {
    if (!PathExists(path)) return path;
    const PathParts parts = SplitPath(path);
    for (int n = 2; n < 100000; ++n) {
      std::string candidate = parts.folder + parts.name + "_" + std::to_string(n) + parts.extension;
      if (!PathExists(candidate)) return candidate;
    }
    return path;
  }

  bool Place(const MoveRecord& record, const std::string& photo, std::string target, MoveJournal& journal) {
    CreateFolderPath(SplitPath(target).folder);
    MoveRecord next = record;
    next.step = MoveStep::Placing;
    next.photo = photo;
    next.target = target;
    next.copy.clear();
    next.scratch.clear();
    next.photoIdentity = {};
    // Without the new record a crash during the move can at worst leave a second copy.
    journal.Write(next);
    std::string placed;
    int err = 0;
    if (!MoveFile(photo, target, record.overwrite ? Collision::Replace : Collision::Rename, &placed, &err)) {
      if (FirstReport(journal.Path())) {
        Log(FillIn("FAILED: Recover file from %s to %s", record.source, target));
        if (err != 0) Log(ErrnoText(err));
      }
      return false;
    }
    SyncFolderHolding(placed);
    if (m_how.arrived) m_how.arrived(placed);
    Log(FillIn("Recovered file from %s to %s", record.source, placed));
    journal.Remove();
    return true;
  }

  std::string m_folder;
  const MoveRecovery& m_how;
};

}  // namespace

int RecoverMoves(const std::string& tempFolder, const MoveRecovery& how) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  Recoverer recoverer(folder, how);
  return RecoverRecords(
      folder, kMoveRecordSuffix, kMaxMoveBatchRecordBytes,
      [&](HeldRecord& record, const std::string* text) { return recoverer.Run(record, text) ? 1 : 0; });
}

}  // namespace brisko
