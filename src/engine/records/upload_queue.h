#pragma once
// The upload queue of one Upload Files action: every photo to send is an entry of a durable
// record (record_file), so the queue survives kills, reboots and days without a network, and a
// photo is sent once per destination. The records hold what was sent, too: a photo already sent
// is not queued again while its file stays as it was.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/record_file.h"

namespace brisko {

inline constexpr const char* kUploadRecordSuffix = ".brisko-upload";
inline constexpr const char* kUploadRecordFolder = "upload_queue/";
inline constexpr size_t kMaxUploadRecordBytes = 256 * 1024;

// Pending: not sent yet. Sending: being written straight under its final name (a remote that
// cannot rename), so a different file found there after a crash is ours, cut short. Checked: on
// the remote, its hash compared. Done: on the remote, its size compared (the remote gives no
// hash). Failed: given up, with its reason.
enum class UploadState { Pending, Sending, Checked, Done, Failed };
const char* UploadStateName(UploadState state);

struct UploadEntry {
  UploadState state = UploadState::Pending;
  std::string source;  // the local photo
  int64_t size = 0;
  int64_t modTime = 0;
  std::string remote;  // its path below the destination
  int32_t tries = 0;
  int64_t queued = 0;  // when it was queued
  int64_t sent = 0;    // when it reached the remote; 0: not yet
  std::string reason;  // of its last failure

  bool Waiting() const { return state == UploadState::Pending || state == UploadState::Sending; }
};

struct UploadRecordText {
  std::string dest;    // the destination as the action names it
  std::string source;  // the action's source folder
  std::vector<UploadEntry> entries;
};
std::string FormatUploadRecord(const UploadRecordText& record);
// False for anything that is not one whole record; work bounded by the text's size.
bool ParseUploadRecord(std::string_view text, UploadRecordText& record);

class UploadQueue {
 public:
  // The records of `dest` and `source` in `folder` (the temp folder's kUploadRecordFolder).
  UploadQueue(std::string folder, std::string dest, std::string source);
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  const std::string& Dest() const { return m_dest; }
  const std::string& Source() const { return m_source; }

  // Takes up the records of this destination and source that no live process holds. A record
  // whose entries are all settled and whose photos are all gone from the disk goes.
  void Recover();
  // Queues `entries` in new records (as many as the bound asks); false with *err when one is
  // not on disk (its entries are then not queued).
  bool Add(std::vector<UploadEntry> entries, int* err);

  size_t Size() const { return m_entries.size(); }
  UploadEntry& At(size_t i) { return m_entries[i]; }
  const UploadEntry& At(size_t i) const { return m_entries[i]; }
  // The latest entry of the photo at `source`, or nullptr.
  const UploadEntry* Find(const std::string& source) const;
  // Remote paths the queue already gives a photo (none is given twice).
  bool RemoteTaken(const std::string& remote) const { return m_remotes.count(remote) > 0; }
  void SetRemote(size_t i, const std::string& remote);

  // The entry's record is to be written again (Flush).
  void Changed(size_t i);
  // Writes the entry's record now; false with *err when it is not on disk.
  bool WriteNow(size_t i, int* err);
  // Writes every changed record.
  bool Flush(int* err);

 private:
  struct Record {
    HeldRecord held;
    std::vector<size_t> entries;
    bool changed = false;
  };
  bool WriteRecord(Record& record, int* err);
  void Index(size_t i);

  std::string m_folder, m_dest, m_source;
  std::vector<Record> m_records;
  std::vector<UploadEntry> m_entries;
  std::vector<size_t> m_recordOf;
  std::map<std::string, size_t> m_bySource;
  std::map<std::string, size_t> m_remotes;
};

}  // namespace brisko

namespace brisko {

// What the board and the window show of an Upload Files action.
struct UploadStatus {
  std::string remote;        // the destination, name and path only
  int waiting = 0;           // photos not on the remote yet
  int failed = 0;            // photos given up
  int64_t oldestQueued = 0;  // when the oldest waiting photo was queued; 0: none waits
  int sentToday = 0;
  double bytesPerSecond = 0;    // of the recent sends; 0: none
  int64_t secondsToEmpty = -1;  // at that rate; -1: unknown
  int64_t offlineSince = 0;     // 0: the remote answers
  std::string lastError;
  bool late = false;  // a photo waits longer than the action allows
};

}  // namespace brisko

namespace brisko {

// One line for the board and the window: "Offline since 14:02: 132 photos waiting" while the
// remote does not answer, else what waits, how old, what went today, the rate and the time to
// empty at it, and the last error.
std::string UploadSummary(const UploadStatus& status, int64_t now);

}  // namespace brisko
