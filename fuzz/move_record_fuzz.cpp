// Move records found in the temp folder at start, of single moves and of batches (shots too),
// and the list of where recent shots went: arbitrary bytes, then written and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/records/move_journal.h"
#include "engine/shots/shot_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // What was read must survive a write and a new read unchanged.
  brisko::MoveRecord record;
  if (brisko::ParseMoveRecord(text, record)) {
    const std::string written = brisko::FormatMoveRecord(record);
    brisko::MoveRecord again;
    if (!brisko::ParseMoveRecord(written, again) || brisko::FormatMoveRecord(again) != written) std::abort();
  }
  brisko::MoveBatchRecord batch;
  if (brisko::ParseMoveBatchRecord(text, batch)) {
    if (batch.entries.empty()) std::abort();
    const std::string written = brisko::FormatMoveBatchRecord(batch);
    brisko::MoveBatchRecord again;
    if (!brisko::ParseMoveBatchRecord(written, again) || brisko::FormatMoveBatchRecord(again) != written)
      std::abort();
  }
  std::vector<brisko::ShotNames::Entry> names;
  if (brisko::ShotNames::Parse(text, names)) {
    const std::string written = brisko::ShotNames::Format(names);
    std::vector<brisko::ShotNames::Entry> again;
    if (!brisko::ShotNames::Parse(written, again) || brisko::ShotNames::Format(again) != written)
      std::abort();
  }
  return 0;
}
