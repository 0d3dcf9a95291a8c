// Move records' durable writing, held by a journal while its move runs, and the temp folder's
// leftovers.
#include "engine/records/move_journal.h"

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

#include "engine/base/record_file.h"
#include "engine/base/run_support.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

std::function<void(const char*)>& StepHook() {
  static std::function<void(const char*)> hook;
  return hook;
}

}  // namespace

MoveJournal::MoveJournal(std::string tempFolder)
    : m_record(std::move(tempFolder), kMoveRecordSuffix, kMaxMoveBatchRecordBytes) {}

MoveJournal::MoveJournal(HeldRecord&& claimed) : m_record(std::move(claimed)) {}

void MoveJournal::NoteVolumes(FileIdentity& identity, const std::string& path) {
  if (identity.volume != 0 || identity.inode == 0) return;
  // One look per folder: a batch's sources mostly share theirs.
  const std::string folder = SplitPath(path).folder;
  auto known = m_volumes.find(folder);
  if (known != m_volumes.end()) {
    identity.volume = known->second;
    return;
  }
  NoteVolume(folder.empty() ? "." : folder, identity);
  if (m_volumes.size() < 4096) m_volumes[folder] = identity.volume;
}

bool MoveJournal::Write(const MoveRecord& record, int* err) {
  if (record.step != MoveStep::Copying || record.photoIdentity.volume != 0)
    return m_record.Write(FormatMoveRecord(record), record.source, err);
  MoveRecord noted = record;
  NoteVolumes(noted.photoIdentity, noted.photo);
  return m_record.Write(FormatMoveRecord(noted), record.source, err);
}

bool MoveJournal::Write(const MoveBatchRecord& record, int* err) {
  MoveBatchRecord noted = record;
  for (MoveBatchRecord::Entry& e : noted.entries) NoteVolumes(e.sourceIdentity, e.source);
  return m_record.Write(FormatMoveBatchRecord(noted),
                        record.entries.empty() ? std::string("batch") : record.entries.front().source, err);
}

void KeepWaitingEntry(const MoveBatchRecord& record, const std::string& source, const std::string& placed,
                      MoveBatchRecord& waiting) {
  for (const MoveBatchRecord::Entry& e : record.entries) {
    if (e.source != source) continue;
    waiting.entries.push_back(e);
    waiting.entries.back().target = placed;
  }
}

void MoveJournal::SetStepHookForTest(std::function<void(const char*)> hook) {
  StepHook() = std::move(hook);
}

void MoveJournal::Reached(const char* step) {
  if (StepHook()) StepHook()(step);
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
