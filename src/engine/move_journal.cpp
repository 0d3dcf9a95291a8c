// Move records' durable writing, held by a journal while its move runs, and the temp folder's
// leftovers.
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

// Records of moves running in this process; recovery leaves them alone.
std::set<std::string>& Claimed() {
  static std::set<std::string> claimed;
  return claimed;
}
std::function<void(const char*)>& StepHook() {
  static std::function<void(const char*)> hook;
  return hook;
}

}  // namespace

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
  ForgetReports(m_path);
  Claimed().erase(m_path);
  m_path.clear();
}

void MoveJournal::SetStepHookForTest(std::function<void(const char*)> hook) {
  StepHook() = std::move(hook);
}

void MoveJournal::Reached(const char* step) {
  if (StepHook()) StepHook()(step);
}

bool MoveJournal::HeldHere(const std::string& path) {
  return Claimed().count(path) > 0;
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
