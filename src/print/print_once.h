#pragma once
// Prints a file exactly once. A durable record naming the file and the job name it will carry
// is written before the job is submitted; from then on the job is found again by that name, so
// a crash at any instant gives neither a second job nor a file moved on unprinted:
//   recorded, no job in CUPS            -> submitted (again)
//   job pending, held or printing       -> waited for
//   job completed                       -> the caller moves the file on, then Finish()
//   CUPS not answering                  -> nothing is done; asked again later
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "print/print_service.h"

namespace brisko {

struct PrintRecord {
  std::string jobName;  // a unique id, also the record's key
  std::string queue;
  std::string file;  // moves on once printed
  int copies = 1;
  std::string media;
  PrintScaling scaling = PrintScaling::Default;
  bool borderless = false;
  int jobId = 0;       // known once CUPS answered the submission
  std::string action;  // the action that recorded it ("" in records of earlier versions)
  std::string sent;    // what CUPS gets when not `file` itself: a converted copy, removed when done
};

// Where the records live (the station's durable record files). Each call is durable when it
// returns true.
class PrintRecordStore {
 public:
  virtual ~PrintRecordStore() = default;
  virtual bool Put(const PrintRecord& record, std::string* error) = 0;  // adds or replaces
  virtual bool Remove(const std::string& jobName, std::string* error) = 0;
  virtual std::vector<PrintRecord> List() = 0;
};

enum class PrintOutcome {
  Completed,  // printed: move the file on, then Finish()
  Waiting,    // a job is queued or printing
  Failed,     // canceled or aborted, refused by CUPS (record dropped) or not recorded; the file stays
  Unknown,    // CUPS did not answer; the record stays and is asked again later
  Missing,    // recorded, never made in CUPS, and not submitted (Advance without submitting)
};

class PrintOnce {
 public:
  using LogFn = std::function<void(const std::string&)>;
  PrintOnce(PrintService& service, PrintRecordStore& records, LogFn log);

  // Test seam: called at "recorded" (before the submission) and "submitted" (before its id is
  // kept), so a test can end the process there.
  void SetCheckpoint(std::function<void(const char*)> checkpoint) { m_checkpoint = std::move(checkpoint); }

  // Records and submits a new job; `jobName` receives its name. `action` and `sent` go into the
  // record (see PrintRecord).
  PrintOutcome Start(const JobRequest& request, std::string* jobName, const std::string& action = "",
                     const std::string& sent = "");
  // Moves a recorded job on (see the table above); without `submitMissing` a job never made is
  // Missing rather than submitted.
  PrintOutcome Advance(const std::string& jobName, bool submitMissing = true);
  // Advances until the job is no longer waiting or `timeoutMs` passed.
  PrintOutcome Wait(const std::string& jobName, int timeoutMs, int pollMs = 200);
  // Drops the record once the caller has moved the file on (or given up on it).
  bool Finish(const std::string& jobName);

  std::vector<PrintRecord> Records() { return m_records.List(); }
  // Jobs recorded for `queue` that are not finished: one at a time per printer by default.
  int InFlight(const std::string& queue);

  static std::string NewJobName();

 private:
  PrintOutcome Submit(PrintRecord record);

  PrintService& m_service;
  PrintRecordStore& m_records;
  LogFn m_log;
  std::function<void(const char*)> m_checkpoint;
};

}  // namespace brisko
