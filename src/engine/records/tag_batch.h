#pragma once
// Move Files with "add or update BriskoExif", a batch at a time: each tagged copy is written
// straight into its destination folder under a hidden name, and the batch pays once for what
// each photo paid alone (a flush of the copies, one durable record, a flush of the folders).
// The record keeps the batch format of move_journal.h under its own header and suffix; the
// copies' bytes differ from their sources', so recovery trusts the recorded identities.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records/move_journal.h"
#include "support/file_ops.h"

namespace brisko {

class BriskoExifFields;

inline constexpr const char* kTagBatchSuffix = ".brisko-tag";

std::string FormatTagBatchRecord(const MoveBatchRecord& record);
// False for anything that is not a complete, well-formed record. Bounded by the input size.
bool ParseTagBatchRecord(std::string_view text, MoveBatchRecord& record);

// Writes `source` with the fields' block into a new hidden file in `folder`, unflushed. False
// when the source cannot be tagged or changed while it was read; then nothing is left behind.
bool WriteTaggedCopy(const std::string& source, const std::string& folder, BriskoExifFields& fields,
                     std::string& hidden, FileIdentity& sourceIdentity);

class TagBatch {
 public:
  enum class Outcome {
    Pending,
    Moved,    // in place at `placed`, the source gone
    Changed,  // the source changed after its copy was made: it stays, the copy went
    Failed,   // `err`: nothing of it under a final name and the source where it was
    Waiting,  // the source's folder is out of reach: the record keeps it for a later pass
  };
  struct Entry {
    std::string source;
    FileIdentity sourceIdentity;
    std::string temp;  // the hidden tagged copy beside the target
    std::string target;
    uint64_t bytes = 0;
    std::string placed;
    std::string renamed;  // Moved: the source was found renamed to this, and went
    Outcome outcome = Outcome::Pending;
    int err = 0;
    std::shared_ptr<void> claim;  // the source claimed (ClaimSourceAt) until it is removed
  };
  // As the copy batches: a flush per 256 files covers most of its cost.
  static constexpr size_t kMaxFiles = 256;

  TagBatch(std::string tempFolder, std::string action, bool overwrite);
  ~TagBatch();
  TagBatch(const TagBatch&) = delete;
  TagBatch& operator=(const TagBatch&) = delete;

  // Which file names a pass of the action takes (a source renamed to another is not its photo).
  void SetTakes(std::function<bool(const std::string& name)> takes) { m_takes = std::move(takes); }
  void Add(Entry entry);
  bool Full() const;
  bool Empty() const { return m_entries.empty(); }
  // Flushes the copies, records them, renames each into place, flushes the folders and removes
  // each source that is still the file that was copied; the record goes last.
  void Commit();
  const std::vector<Entry>& Entries() const { return m_entries; }
  // Forgets the entries; hidden copies not placed are removed.
  void Clear();

 private:
  void Fail(Entry& entry, int err);
  // Records, places and finishes the entries `part` (indices) that `record` names.
  void CommitPart(const MoveBatchRecord& record, const std::vector<size_t>& part);
  // Renames each pending copy of `part` into place and flushes the folders it went to; a copy
  // whose folder cannot be flushed is taken back and fails.
  void PlaceCopies(const std::vector<size_t>& part);
  // Removes the sources of `part` that are still the files copied, a few side by side; the
  // outcome of each, by entry index.
  std::vector<int> RemoveSources(const std::vector<size_t>& part);
  // Settles each pending entry of `part` by its removal's outcome, handing those out of reach
  // to `wait`; the folders of the sources removed, to be flushed.
  std::vector<std::string> SettleSources(const std::vector<size_t>& part, const std::vector<int>& removed,
                                         const std::function<void(Entry&)>& wait);
  std::string m_tempFolder;
  std::string m_action;
  bool m_overwrite = false;
  std::vector<Entry> m_entries;
  uint64_t m_bytes = 0;
  std::function<bool(const std::string& name)> m_takes;
};

// Finishes or rolls back the tag batch records in `tempFolder` whose lock it gets: a copy in
// place has its source removed while that is still the recorded file; a copy still hidden goes
// and its source moves on the next pass, unless the source is surely gone (the copy then takes
// its place). Returns how many photos were placed.
int RecoverTagBatches(const std::string& tempFolder, const MoveRecovery& how);

}  // namespace brisko
