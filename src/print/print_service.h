#pragma once
// What the station asks of a print system: queues, their paper, jobs by name, printer state.
// CupsPrintService answers over IPP; every call is bounded in time, so a dead cupsd or a
// printer gone from the network costs the station a timeout, never a hang.
#include <memory>
#include <string>
#include <vector>

namespace brisko {

struct MediaSize {
  std::string name;  // the IPP media name, e.g. "na_index-4x6_4x6in"
  int width = 0;     // hundredths of a millimetre
  int height = 0;
  bool borderless = false;  // the printer offers it with zero margins
};

struct QueueMedia {
  std::vector<MediaSize> sizes;
  std::string defaultMedia;
  std::vector<std::string> scalings;  // print-scaling values the queue takes ("fit", "fill", ...)
};

enum class PrintScaling { Default, Fit, Fill };

struct JobRequest {
  std::string queue;
  std::string file;
  std::string jobName;  // how the job is found again after a crash
  int copies = 1;
  std::string media;  // empty: the queue's default
  PrintScaling scaling = PrintScaling::Default;
  bool borderless = false;  // zero margins: the media goes as a media-col (needs `media`)
};

enum class JobState { Pending, Held, Processing, Stopped, Canceled, Aborted, Completed };
bool JobStillToPrint(JobState state);

struct JobInfo {
  int id = 0;
  std::string name;
  JobState state = JobState::Pending;
  int copies = 1;
  long long completedAt = 0;  // seconds since the epoch, 0 while not finished
  int sheets = 0;             // media sheets the printer reported done
  std::string media;          // as CUPS keeps it for the job
  std::string scaling;
  bool borderless = false;  // the job's media-col asks for zero margins
};

struct Marker {
  std::string name;
  std::string type;
  int level = -1;  // percent; negative: unknown
  bool operator==(const Marker&) const = default;
};

// One look at a queue and, where the queue prints over IPP, at the printer behind it.
struct PrinterStatus {
  enum State { Idle = 3, Processing = 4, Stopped = 5 };
  int state = Idle;
  std::vector<std::string> reasons;  // printer-state-reasons as sent, "none" left out
  std::string message;
  bool accepting = true;
  std::string deviceUri;
  bool deviceAsked = false;  // the device speaks IPP and was asked
  bool deviceAnswered = false;
  int deviceState = Idle;
  std::vector<std::string> deviceReasons;
  std::string deviceMessage;
  std::vector<Marker> markers;
  int jobsWaiting = 0;
};

class PrintService {
 public:
  virtual ~PrintService() = default;
  // False (with `error`) only when the print system did not answer.
  virtual bool ListQueues(std::vector<std::string>* queues, std::string* defaultQueue,
                          std::string* error) = 0;
  virtual bool ReadMedia(const std::string& queue, QueueMedia* media, std::string* error) = 0;
  // The MIME types the queue prints (its filters included), "image/jpeg", "image/tiff", ...
  virtual bool DocumentFormats(const std::string& queue, std::vector<std::string>* formats,
                               std::string* error) = 0;
  // The new job's id, or 0 with `error`. A failure does not prove that no job was made, unless
  // `refused` is set: CUPS turned the request down (a format it cannot print, no such queue).
  virtual int Submit(const JobRequest& request, std::string* error, bool* refused) = 0;
  // Every job of the queue carrying `jobName`, finished ones included. False when CUPS did not
  // answer: that is never "no such job".
  virtual bool FindJobs(const std::string& queue, const std::string& jobName, std::vector<JobInfo>* jobs,
                        std::string* error) = 0;
  virtual bool QueryStatus(const std::string& queue, PrinterStatus* status, std::string* error) = 0;
  // Sheets of the jobs completed at or after `since` (seconds since the epoch).
  virtual bool PagesCompletedSince(const std::string& queue, long long since, int* pages,
                                   std::string* error) = 0;
  virtual bool ResumeQueue(const std::string& queue, std::string* error) = 0;
  virtual bool PauseQueue(const std::string& queue, std::string* error) = 0;
};

struct CupsOptions {
  std::string server;    // empty: what libcups would use (CUPS_SERVER, client.conf, the local socket)
  int timeoutMs = 5000;  // every connect and every wait for an answer
  int deviceTimeoutMs = 2000;
};

std::unique_ptr<PrintService> MakeCupsPrintService(const CupsOptions& options = {});

}  // namespace brisko
