// Move records: their text form, their durable writing and the completion of unfinished moves.
#include "engine/move_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "engine/record_file.h"
#include "engine/run_support.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "brisko-move 1";
constexpr std::string_view kBatchHeader = "brisko-move-batch 1";
constexpr std::string_view kShotsHeader = "brisko-move-shots 1";
constexpr std::string_view kTrailer = "end";
constexpr size_t kMaxValue = 4096;  // PATH_MAX
// Beside a record's path in the set of lines already logged: its "waiting" line.
constexpr const char* kWaitingKey = "\nwaiting";

// Records of moves running in this process; recovery leaves them alone.
std::set<std::string>& Claimed() {
  static std::set<std::string> claimed;
  return claimed;
}
// Failures already logged, so a record that cannot be completed is not reported every pass.
std::set<std::string>& Reported() {
  static std::set<std::string> reported;
  return reported;
}
std::function<void(const char*)>& StepHook() {
  static std::function<void(const char*)> hook;
  return hook;
}

void Escape(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

bool Unescape(std::string_view in, std::string& out) {
  if (in.size() > 2 * kMaxValue) return false;
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '\0') return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == in.size()) return false;
    if (in[i] == '\\') {
      out += '\\';
    } else if (in[i] == 'n') {
      out += '\n';
    } else {
      return false;
    }
  }
  return out.size() <= kMaxValue;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseIdentity(std::string_view text, FileIdentity& id) {
  std::string_view parts[4];
  for (int i = 0; i < 4; ++i) {
    size_t colon = text.find(':');
    if ((i < 3) != (colon != std::string_view::npos)) return false;
    parts[i] = text.substr(0, colon);
    text = i < 3 ? text.substr(colon + 1) : std::string_view();
  }
  return ParseNumber(parts[0], id.device) && ParseNumber(parts[1], id.inode) &&
         ParseNumber(parts[2], id.size) && ParseNumber(parts[3], id.modTimeNs);
}

bool Absolute(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A file directly inside `folder` (which ends in a separator).
bool DirectlyIn(const std::string& path, const std::string& folder) {
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return ValidName(path.substr(folder.size()));
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
  bool Run(const std::string& recordPath) {
    // A record is ours to finish only when its lock is free: a live station (this one too)
    // holds the lock of every record it is working by, for as long as it works by it.
    const int fd = ClaimRecordFile(recordPath);
    if (fd < 0) return false;
    MoveJournal journal(m_folder);
    journal.Adopt(recordPath, fd);  // the lock is let go with the journal
    std::string text;
    MoveRecord record;
    MoveBatchRecord batch;
    const bool read = ReadBounded(fd, text, kMaxMoveBatchRecordBytes);
    if (read && (text.rfind(kBatchHeader, 0) == 0 || text.rfind(kShotsHeader, 0) == 0) &&
        ParseMoveBatchRecord(text, batch)) {
      if (!m_how.Owns(batch.action)) return false;
      return CompleteBatch(batch, journal) > 0;
    }
    if (!read || !ParseMoveRecord(text, record) || !FitsFolder(record, m_folder)) {
      // Left where it is for the operator: it may still name a photo in the temp folder.
      if (m_how.anyOwner) Once(recordPath, "FAILED: Unreadable move record " + recordPath);
      return false;
    }
    if (!m_how.Owns(record.action)) return false;
    return Complete(record, journal);
  }

 private:
  void Log(const std::string& text) {
    if (m_how.log) m_how.log(text);
  }
  void Once(const std::string& key, const std::string& text) {
    if (Reported().insert(key).second) Log(text);
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
    Once(journal.Path() + kWaitingKey,
         FillIn("Waiting for folder %s to finish the move of %s", SplitPath(source).folder, source));
  }

  // An entry of a shot whose copy (or, for a rename, whose source) is still the recorded file
  // goes into place, so the shot is finished whole. False when its source is out of reach.
  static bool PlaceShotEntry(const MoveBatchRecord::Entry& e) {
    const SourceState state = ProbeSource(e.source, e.sourceIdentity.device);
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

  // A batch cut short between placing its copies and removing their sources: a source goes only
  // when its copy is in place with the same bytes and it is still the file that was copied.
  // Anything else is left as it is; the next pass moves what is still at its listed place. An
  // entry whose source folder is not there (the card taken out) stays in the record for a later
  // pass: a missing card is no proof that its photos left it.
  int CompleteBatch(const MoveBatchRecord& record, MoveJournal& journal) {
    int placed = 0;
    std::vector<std::string> folders;
    std::map<std::string, Listing> listings;
    MoveBatchRecord waiting = record;
    waiting.entries.clear();
    ReleaseHeld(journal.Path());
    std::vector<std::string> held;
    for (const MoveBatchRecord::Entry& e : record.entries) {
      if (record.together && !PlaceShotEntry(e)) {
        // Out of reach (a card taken out): the entry waits with its copy for a later pass.
        waiting.entries.push_back(e);
        const std::string at = Arrival(e, false, false);
        if (!at.empty()) held.push_back(at);
        continue;
      }
      // A copy the crash left under its hidden name is never a finished file.
      if (!e.temp.empty()) ::unlink(e.temp.c_str());
      // Set aside by a removal the crash cut short: finished when it is the copied file, else put back.
      SettleSetAside(e.source,
                     [&](const std::string& at) { return StillTheRecordedFile(at, e.sourceIdentity); });
      const SourceState state = ProbeSource(e.source, e.sourceIdentity.device);
      if (state == SourceState::Unknown) {
        waiting.entries.push_back(e);
        const std::string at = Arrival(e, false);
        if (!at.empty()) held.push_back(at);
        continue;
      }
      const bool sourceThere = state == SourceState::There;
      FileIdentity now;
      // Not a regular file any more: not the photo that was copied.
      if (sourceThere && !ReadFileIdentity(e.source, now)) continue;
      const std::string at = Arrival(e, sourceThere, !record.together);
      if (at.empty()) continue;
      // Renamed while the station was down: still this move's photo, and its copy is in place.
      const std::string renamed =
          sourceThere ? std::string() : Renamed(e.source, e.sourceIdentity, at, true, listings);
      if (!renamed.empty()) {
        const int err = RemoveSourceIfUnchanged(renamed, [&](const std::string& aside) {
          return StillTheRecordedFile(aside, e.sourceIdentity) && SameContent(aside, at);
        });
        if (err == EBUSY) {
          Log(FillIn("Left file %s: changed since its copy %s was made", renamed, at));
          continue;
        }
        if (err != 0 && err != ENOENT) {
          // As a failed move the photo stays, once, under its new name (see below).
          if (!record.overwrite && StillTheRecordedFile(renamed, e.sourceIdentity)) ::unlink(at.c_str());
          continue;
        }
        if (err == 0) {
          folders.push_back(renamed);
          Log(FillIn("Deleted file %s: renamed from %s", renamed, e.source));
        }
      }
      if (sourceThere) {
        MoveJournal::Reached("batch entry compared");
        // Checked last, right before the delete: a photo written to or replaced since its copy
        // was made (or while its bytes were compared) is a new version, and stays.
        int err = 0;
        if (!StillTheRecordedFile(e.source, e.sourceIdentity)) {
          const SourceState again = ProbeSource(e.source, e.sourceIdentity.device);
          err = again == SourceState::There ? EBUSY : again == SourceState::Gone ? ENOENT : EIO;
        } else {
          err = RemoveSourceIfUnchanged(
              e.source, [&](const std::string& at) { return StillTheRecordedFile(at, e.sourceIdentity); });
        }
        if (err == EBUSY) {
          Log(FillIn("Left file %s: changed since its copy %s was made", e.source, at));
          continue;
        }
        if ((err == ENOENT || err == EIO) &&
            ProbeSource(e.source, e.sourceIdentity.device) == SourceState::Unknown) {
          // Out of reach meanwhile (a card taken out during the removal) proves nothing: the
          // record waits for the card, and its copy is held back until then.
          waiting.entries.push_back(e);
          held.push_back(at);
          continue;
        }
        if (err == ENOENT) {
          // Gone meanwhile: the copy in place is the photo now, and stays.
        } else if (err != 0) {
          // As a failed move the source stays, once: its copy goes, but only while the source is
          // surely still there (a replaced file is gone already; its successor stays).
          if (record.overwrite) continue;
          if (StillTheRecordedFile(e.source, e.sourceIdentity)) {
            ::unlink(at.c_str());
          } else {
            waiting.entries.push_back(e);
          }
          continue;
        } else {
          folders.push_back(e.source);
        }
      }
      if (m_how.arrived) m_how.arrived(at);
      Log(FillIn("Recovered file from %s to %s", e.source, at));
      ++placed;
    }
    for (const std::string& f : folders) SyncFolderHolding(f);
    if (waiting.entries.empty()) {
      journal.Remove();
    } else {
      if (waiting.entries.size() != record.entries.size()) journal.Write(waiting);
      HoldPlacedCopies(journal.Path(), std::move(held));
      Waiting(journal, waiting.entries.front().source);
    }
    return placed;
  }

  bool Complete(const MoveRecord& record, MoveJournal& journal) {
    std::string photo, target;
    if (record.step == MoveStep::Copying) {
      // See CompleteBatch: a removal the crash cut short.
      SettleSetAside(record.photo,
                     [&](const std::string& at) { return StillTheRecordedFile(at, record.photoIdentity); });
      const SourceState state = ProbeSource(record.photo, record.photoIdentity.device);
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
        if (ValidName(made)) name = std::move(made);
      }
      target = WithTrailingSeparator(folder) + name;
      if (!record.overwrite) target = FreeName(target);
    } else {
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
      if (Reported().insert(journal.Path()).second) {
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

// One "key=value" line, the value escaped.
void AppendField(std::string& out, const char* key, std::string_view value) {
  out += key;
  out += '=';
  Escape(out, value);
  out += '\n';
}

std::string IdentityText(const FileIdentity& id) {
  return std::to_string(id.device) + ":" + std::to_string(id.inode) + ":" + std::to_string(id.size) + ":" +
         std::to_string(id.modTimeNs);
}

}  // namespace

std::string FormatMoveRecord(const MoveRecord& r) {
  std::string out(kHeader);
  out += '\n';
  auto field = [&out](const char* key, std::string_view value) { AppendField(out, key, value); };
  field("step", r.step == MoveStep::Copying ? "copying" : "placing");
  field("action", r.action);
  field("source", r.source);
  field("photo", r.photo);
  field("identity", IdentityText(r.photoIdentity));
  field("copy", r.copy);
  field("scratch", r.scratch);
  field("folder", r.folder);
  field("name", r.name);
  field("rename", r.rename ? "1" : "0");
  field("overwrite", r.overwrite ? "1" : "0");
  field("target", r.target);
  out += kTrailer;
  out += '\n';
  return out;
}

bool ParseMoveRecord(std::string_view text, MoveRecord& record) {
  if (text.size() > kMaxMoveRecordBytes) return false;
  MoveRecord r;
  const char* keys[] = {"step",    "action", "source", "photo",  "identity",  "copy",
                        "scratch", "folder", "name",   "rename", "overwrite", "target"};
  constexpr size_t kKeys = sizeof keys / sizeof keys[0];
  bool seen[kKeys] = {};
  size_t line = 0;
  bool ended = false;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    if (eol == std::string_view::npos) return false;  // every line ends, the last one too
    std::string_view l = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    if (ended) return false;
    if (line++ == 0) {
      if (l != kHeader) return false;
      continue;
    }
    if (l == kTrailer) {
      ended = true;
      continue;
    }
    size_t eq = l.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = l.substr(0, eq);
    size_t k = 0;
    while (k < kKeys && key != keys[k]) ++k;
    if (k == kKeys || seen[k]) return false;
    seen[k] = true;
    std::string value;
    if (!Unescape(l.substr(eq + 1), value)) return false;
    switch (k) {
      case 0:
        if (value == "copying") {
          r.step = MoveStep::Copying;
        } else if (value == "placing") {
          r.step = MoveStep::Placing;
        } else {
          return false;
        }
        break;
      case 1:
        r.action = std::move(value);
        break;
      case 2:
        r.source = std::move(value);
        break;
      case 3:
        r.photo = std::move(value);
        break;
      case 4:
        if (!ParseIdentity(value, r.photoIdentity)) return false;
        break;
      case 5:
        r.copy = std::move(value);
        break;
      case 6:
        r.scratch = std::move(value);
        break;
      case 7:
        r.folder = std::move(value);
        break;
      case 8:
        r.name = std::move(value);
        break;
      case 9:
      case 10:
        if (value != "0" && value != "1") return false;
        (k == 9 ? r.rename : r.overwrite) = value == "1";
        break;
      default:
        r.target = std::move(value);
        break;
    }
  }
  for (bool s : seen) {
    if (!s) return false;
  }
  if (!ended || !Absolute(r.source) || !Absolute(r.photo) || !Absolute(r.folder) || !ValidName(r.name))
    return false;
  if (r.step == MoveStep::Copying && !Absolute(r.copy)) return false;
  if (r.step == MoveStep::Placing && !Absolute(r.target)) return false;
  if (!r.scratch.empty() && !Absolute(r.scratch)) return false;
  record = std::move(r);
  return true;
}

std::string FormatMoveBatchRecord(const MoveBatchRecord& r) {
  std::string out(r.together ? kShotsHeader : kBatchHeader);
  out += '\n';
  auto field = [&out](const char* key, std::string_view value) { AppendField(out, key, value); };
  field("action", r.action);
  field("overwrite", r.overwrite ? "1" : "0");
  for (const MoveBatchRecord::Entry& e : r.entries) {
    field("source", e.source);
    field("identity", IdentityText(e.sourceIdentity));
    field("target", e.target);
    field("copy", IdentityText(e.copyIdentity));
    field("temp", e.temp);
  }
  out += kTrailer;
  out += '\n';
  return out;
}

bool ParseMoveBatchRecord(std::string_view text, MoveBatchRecord& record) {
  if (text.size() > kMaxMoveBatchRecordBytes) return false;
  // Fixed order: header, action, overwrite, then source, identity, target, copy, temp per entry,
  // end.
  constexpr const char* kEntryKeys[] = {"source", "identity", "target", "copy", "temp"};
  constexpr size_t kEntryLines = sizeof kEntryKeys / sizeof kEntryKeys[0];
  MoveBatchRecord r;
  MoveBatchRecord::Entry e;
  size_t line = 0;
  bool ended = false;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    if (eol == std::string_view::npos || ended) return false;
    std::string_view l = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    const size_t at = line++;
    if (at == 0) {
      if (l != kBatchHeader && l != kShotsHeader) return false;
      r.together = l == kShotsHeader;
      continue;
    }
    if (l == kTrailer) {
      if (at < 3 || (at - 3) % kEntryLines != 0) return false;  // an entry cut short
      ended = true;
      continue;
    }
    size_t eq = l.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view key = l.substr(0, eq);
    const char* wanted = at == 1 ? "action" : at == 2 ? "overwrite" : kEntryKeys[(at - 3) % kEntryLines];
    if (key != wanted) return false;
    std::string value;
    if (!Unescape(l.substr(eq + 1), value)) return false;
    if (at == 1) {
      r.action = std::move(value);
    } else if (at == 2) {
      if (value != "0" && value != "1") return false;
      r.overwrite = value == "1";
    } else {
      switch ((at - 3) % kEntryLines) {
        case 0:
          if (!Absolute(value)) return false;
          e.source = std::move(value);
          break;
        case 1:
          if (!ParseIdentity(value, e.sourceIdentity)) return false;
          break;
        case 2:
          if (!Absolute(value) || value == e.source) return false;
          e.target = std::move(value);
          break;
        case 3:
          if (!ParseIdentity(value, e.copyIdentity)) return false;
          break;
        default: {
          // Only ever one of the file layer's hidden names beside the target (none: a rename).
          const PathParts parts = SplitPath(value);
          if (!(r.together && value.empty()) && (parts.folder != SplitPath(e.target).folder ||
                                                 !IsFileLayerTempName(parts.name + parts.extension)))
            return false;
          e.temp = std::move(value);
          r.entries.push_back(std::move(e));
          e = {};
          break;
        }
      }
    }
  }
  if (!ended || r.entries.empty()) return false;
  record = std::move(r);
  return true;
}

MoveJournal::MoveJournal(std::string tempFolder) : m_folder(WithTrailingSeparator(tempFolder)) {}

MoveJournal::~MoveJournal() {
  if (!m_path.empty()) Claimed().erase(m_path);
  Unlock();
}

void MoveJournal::Unlock() {
  if (m_lockFd >= 0) ::close(m_lockFd);
  m_lockFd = -1;
}

void MoveJournal::Claim(const std::string& path) {
  if (!m_path.empty()) Claimed().erase(m_path);
  m_path = path;
  Claimed().insert(m_path);
}

void MoveJournal::Adopt(const std::string& path, int lockFd) {
  Unlock();
  Claim(path);
  m_lockFd = lockFd;
}

bool MoveJournal::Write(const MoveRecord& record, int* err) {
  return WriteText(record.source, FormatMoveRecord(record), err);
}

bool MoveJournal::Write(const MoveBatchRecord& record, int* err) {
  const std::string text = FormatMoveBatchRecord(record);
  // Recovery reads no more than this; a longer record could not be read back.
  if (text.size() > RecordBound(kMaxMoveBatchRecordBytes)) {
    if (err) *err = EFBIG;
    return false;
  }
  return WriteText(record.entries.empty() ? std::string("batch") : record.entries.front().source, text, err);
}

bool MoveJournal::WriteText(const std::string& nameFrom, const std::string& text, int* err) {
  std::string path = m_path;
  const int fd = WriteRecordFile(
      m_folder, nameFrom, kMoveRecordSuffix, text, path,
      [](const std::string& p) { return Claimed().count(p) > 0; }, err);
  if (fd < 0) return false;
  if (m_path.empty()) Claim(path);
  // The record replaced (if any) is let go only now.
  Unlock();
  m_lockFd = fd;
  return true;
}

void MoveJournal::Remove() {
  if (m_path.empty()) return;
  // Not flushed: a record that survives a power cut finds its photo placed and only goes then.
  // Unlocked after the name is gone, so nobody takes a finished record for an abandoned one.
  ::unlink(m_path.c_str());
  Unlock();
  ReleaseHeld(m_path);
  Reported().erase(m_path);
  Reported().erase(m_path + kWaitingKey);
  Claimed().erase(m_path);
  m_path.clear();
}

void MoveJournal::SetStepHookForTest(std::function<void(const char*)> hook) {
  StepHook() = std::move(hook);
}

void MoveJournal::Reached(const char* step) {
  if (StepHook()) StepHook()(step);
}

int RecoverMoves(const std::string& tempFolder, const MoveRecovery& how) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  int placed = 0;
  Recoverer recoverer(folder, how);
  for (const std::string& path : ListRecordFiles(folder, kMoveRecordSuffix)) {
    if (Claimed().count(path)) continue;
    if (recoverer.Run(path)) ++placed;
  }
  return placed;
}

void SweepTempLeftovers(const std::string& tempFolder, int minAgeSeconds) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> doomed;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    // The rotator's pixel file, written before the rotated photo is made from it.
    const bool rotatorTemp = name.rfind("ExifRotatorTemp_", 0) == 0 && name.size() > 9 &&
                             name.substr(name.size() - 9) == ".jpg_temp";
    if (IsFileLayerTempName(name) || rotatorTemp) doomed.push_back(folder + entry->d_name);
  }
  ::closedir(dir);
  const time_t abandonedBefore = ::time(nullptr) - minAgeSeconds;
  for (const std::string& path : doomed) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime <= abandonedBefore)
      ::unlink(path.c_str());
  }
}

}  // namespace brisko
