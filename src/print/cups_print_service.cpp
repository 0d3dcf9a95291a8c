// The print system over IPP through libcups. Each call opens its own connection with a connect
// timeout and a wait timeout that gives up (libcups would otherwise keep waiting on a cupsd
// that accepted the connection and then stopped answering).
#include <cups/cups.h>
#include <cups/pwg.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "print/print_service.h"

namespace brisko {

bool JobStillToPrint(JobState state) {
  return state == JobState::Pending || state == JobState::Held || state == JobState::Processing ||
         state == JobState::Stopped;
}

namespace {

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpCloser>;
using Ipp = std::unique_ptr<ipp_t, IppDeleter>;

int GiveUp(http_t*, void*) {
  return 0;
}

Http Connect(const std::string& host, int port, http_encryption_t encryption, int timeoutMs,
             std::string* error) {
  int cancel = 0;
  http_t* http = httpConnect2(host.c_str(), port, nullptr, AF_UNSPEC, encryption, 1, timeoutMs, &cancel);
  if (!http) {
    if (error) *error = "cannot connect to " + host + ": " + cupsLastErrorString();
    return nullptr;
  }
  httpSetTimeout(http, timeoutMs / 1000.0, GiveUp, nullptr);
  return Http(http);
}

std::string Text(ipp_t* ipp, const char* name) {
  ipp_attribute_t* a = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  const char* s = a ? ippGetString(a, 0, nullptr) : nullptr;
  return s ? s : "";
}

int Integer(ipp_t* ipp, const char* name, int fallback) {
  ipp_attribute_t* a = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  if (!a) return fallback;
  const ipp_tag_t tag = ippGetValueTag(a);
  if (tag != IPP_TAG_INTEGER && tag != IPP_TAG_ENUM) return fallback;
  return ippGetInteger(a, 0);
}

std::vector<std::string> Keywords(ipp_t* ipp, const char* name) {
  std::vector<std::string> out;
  ipp_attribute_t* a = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  for (int i = 0, n = a ? ippGetCount(a) : 0; i < n; i++) {
    const char* s = ippGetString(a, i, nullptr);
    if (s && strcmp(s, "none") != 0) out.emplace_back(s);
  }
  return out;
}

void AddRequested(ipp_t* request, std::initializer_list<const char*> names) {
  std::vector<const char*> v(names);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(v.size()), nullptr, v.data());
}

// Whether the media-col of `ipp` (a job) asks for zero margins all round.
bool ZeroMargins(ipp_t* ipp) {
  ipp_attribute_t* attr = ippFindAttribute(ipp, "media-col", IPP_TAG_BEGIN_COLLECTION);
  ipp_t* col = attr ? ippGetCollection(attr, 0) : nullptr;
  if (!col) return false;
  for (const char* margin :
       {"media-bottom-margin", "media-left-margin", "media-right-margin", "media-top-margin"}) {
    ipp_attribute_t* a = ippFindAttribute(col, margin, IPP_TAG_INTEGER);
    if (!a || ippGetInteger(a, 0) != 0) return false;
  }
  return true;
}

JobState ToJobState(int value) {
  switch (value) {
    case IPP_JSTATE_HELD:
      return JobState::Held;
    case IPP_JSTATE_PROCESSING:
      return JobState::Processing;
    case IPP_JSTATE_STOPPED:
      return JobState::Stopped;
    case IPP_JSTATE_CANCELED:
      return JobState::Canceled;
    case IPP_JSTATE_ABORTED:
      return JobState::Aborted;
    case IPP_JSTATE_COMPLETED:
      return JobState::Completed;
    default:
      return JobState::Pending;
  }
}

// Calls `each` with every job group of a Get-Jobs answer, as a small ipp_t of its own.
template <typename F>
void ForEachJob(ipp_t* response, F each) {
  Ipp job;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    if (ippGetGroupTag(a) != IPP_TAG_JOB) {
      if (job) each(job.get());
      job.reset();
      continue;
    }
    if (!job) job.reset(ippNew());
    ippCopyAttribute(job.get(), a, 0);
  }
  if (job) each(job.get());
}

class CupsPrintService final : public PrintService {
 public:
  explicit CupsPrintService(const CupsOptions& options) : m_options(options) {}

  bool ListQueues(std::vector<std::string>* queues, std::string* defaultQueue, std::string* error) override {
    Http http = Scheduler(error);
    if (!http) return false;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    AddRequested(request, {"printer-name"});
    Ipp response = Do(http.get(), request, "/", nullptr, error);
    if (!response) return false;
    queues->clear();
    for (ipp_attribute_t* a = ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME); a;
         a = ippFindNextAttribute(response.get(), "printer-name", IPP_TAG_NAME)) {
      queues->emplace_back(ippGetString(a, 0, nullptr));
    }
    if (defaultQueue) {
      defaultQueue->clear();
      ipp_t* get = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
      AddRequested(get, {"printer-name"});
      std::string ignored;
      // No default destination is an answer too (client-error-not-found).
      if (Ipp def = Do(http.get(), get, "/", nullptr, &ignored))
        *defaultQueue = Text(def.get(), "printer-name");
    }
    return true;
  }

  bool ReadMedia(const std::string& queue, QueueMedia* media, std::string* error) override {
    Http http = Scheduler(error);
    if (!http) return false;
    ipp_t* request = QueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    AddRequested(request, {"media-col-database", "media-supported", "media-default",
                           "print-scaling-supported", "device-uri"});
    Ipp response = Do(http.get(), request, "/", nullptr, error);
    if (!response) return false;
    *media = QueueMedia{};
    ParseMedia(response.get(), media);
    media->scalings = Keywords(response.get(), "print-scaling-supported");
    if (media->sizes.empty()) {
      // A queue without a list of its own: ask the printer behind it.
      if (Ipp device = AskDevice(Text(response.get(), "device-uri"),
                                 {"media-col-database", "media-supported", "media-default"}, nullptr)) {
        ParseMedia(device.get(), media);
      }
    }
    return true;
  }

  bool DocumentFormats(const std::string& queue, std::vector<std::string>* formats,
                       std::string* error) override {
    Http http = Scheduler(error);
    if (!http) return false;
    ipp_t* request = QueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    AddRequested(request, {"document-format-supported"});
    Ipp response = Do(http.get(), request, "/", nullptr, error);
    if (!response) return false;
    *formats = Keywords(response.get(), "document-format-supported");
    return true;
  }

  int Submit(const JobRequest& job, std::string* error, bool* refused) override {
    if (refused) *refused = false;
    Http http = Scheduler(error);
    if (!http) return 0;
    ipp_t* request = QueueRequest(IPP_OP_PRINT_JOB, job.queue);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job.jobName.c_str());
    const size_t slash = job.file.rfind('/');
    const std::string base = slash == std::string::npos ? job.file : job.file.substr(slash + 1);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr, base.c_str());
    // CUPS tells the format from the content; a file whose name lies is still typed right.
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/octet-stream");
    ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", std::max(1, job.copies));
    // Borderless is a media-col with the size and zero margins; CUPS maps it to the queue's
    // borderless page size. Otherwise the media keyword (a size the queue offers only borderless
    // prints borderless by its name).
    pwg_media_t* size = job.borderless && !job.media.empty() ? pwgMediaForPWG(job.media.c_str()) : nullptr;
    if (size) {
      Ipp col(ippNew()), dims(ippNew());
      ippAddInteger(dims.get(), IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", size->width);
      ippAddInteger(dims.get(), IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", size->length);
      ippAddCollection(col.get(), IPP_TAG_ZERO, "media-size", dims.get());
      ippAddString(col.get(), IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr, job.media.c_str());
      for (const char* margin :
           {"media-bottom-margin", "media-left-margin", "media-right-margin", "media-top-margin"}) {
        ippAddInteger(col.get(), IPP_TAG_ZERO, IPP_TAG_INTEGER, margin, 0);
      }
      ippAddCollection(request, IPP_TAG_JOB, "media-col", col.get());
    } else if (!job.media.empty()) {
      ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr, job.media.c_str());
    }
    if (job.scaling != PrintScaling::Default) {
      ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-scaling", nullptr,
                   job.scaling == PrintScaling::Fill ? "fill" : "fit");
    }
    Ipp response = Do(http.get(), request, ("/printers/" + job.queue).c_str(), job.file.c_str(), error);
    if (!response) {
      const ipp_status_t status = cupsLastError();
      if (refused) *refused = status >= IPP_STATUS_ERROR_BAD_REQUEST && status < IPP_STATUS_ERROR_INTERNAL;
      return 0;
    }
    const int id = Integer(response.get(), "job-id", 0);
    if (id <= 0 && error) *error = "CUPS gave no job id";
    return id > 0 ? id : 0;
  }

  bool FindJobs(const std::string& queue, const std::string& jobName, std::vector<JobInfo>* jobs,
                std::string* error) override {
    jobs->clear();
    Ipp response = GetJobs(queue, "all", error);
    if (!response) return false;
    ForEachJob(response.get(), [&](ipp_t* job) {
      // job-name is shown to the job's owner only; the station finds its own jobs.
      if (Text(job, "job-name") != jobName) return;
      JobInfo info;
      info.id = Integer(job, "job-id", 0);
      info.name = jobName;
      info.state = ToJobState(Integer(job, "job-state", IPP_JSTATE_PENDING));
      info.copies = Integer(job, "copies", 1);
      info.completedAt = Integer(job, "time-at-completed", 0);
      info.sheets = Integer(job, "job-media-sheets-completed", 0);
      info.media = Text(job, "media");
      info.scaling = Text(job, "print-scaling");
      info.borderless = ZeroMargins(job);
      jobs->push_back(info);
    });
    return true;
  }

  bool PagesCompletedSince(const std::string& queue, long long since, int* pages,
                           std::string* error) override {
    Ipp response = GetJobs(queue, "completed", error);
    if (!response) return false;
    *pages = 0;
    ForEachJob(response.get(), [&](ipp_t* job) {
      if (Integer(job, "job-state", 0) != IPP_JSTATE_COMPLETED) return;
      if (Integer(job, "time-at-completed", 0) < since) return;
      const int sheets = Integer(job, "job-media-sheets-completed", 0);
      *pages += sheets > 0 ? sheets : std::max(1, Integer(job, "copies", 1));
    });
    return true;
  }

  bool QueryStatus(const std::string& queue, PrinterStatus* status, std::string* error) override {
    Http http = Scheduler(error);
    if (!http) return false;
    ipp_t* request = QueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    AddRequested(request, {"printer-state", "printer-state-reasons", "printer-state-message",
                           "printer-is-accepting-jobs", "device-uri", "marker-names", "marker-levels",
                           "marker-types", "queued-job-count"});
    Ipp response = Do(http.get(), request, "/", nullptr, error);
    if (!response) return false;
    *status = PrinterStatus{};
    ipp_t* r = response.get();
    status->state = Integer(r, "printer-state", IPP_PSTATE_IDLE);
    status->reasons = Keywords(r, "printer-state-reasons");
    status->message = Text(r, "printer-state-message");
    ipp_attribute_t* accepting = ippFindAttribute(r, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    status->accepting = !accepting || ippGetBoolean(accepting, 0);
    status->deviceUri = Text(r, "device-uri");
    status->jobsWaiting = Integer(r, "queued-job-count", 0);
    ReadMarkers(r, &status->markers);
    bool asked = false;
    if (Ipp device = AskDevice(status->deviceUri,
                               {"printer-state", "printer-state-reasons", "printer-state-message",
                                "marker-names", "marker-levels", "marker-types"},
                               &asked)) {
      status->deviceAnswered = true;
      status->deviceState = Integer(device.get(), "printer-state", IPP_PSTATE_IDLE);
      status->deviceReasons = Keywords(device.get(), "printer-state-reasons");
      status->deviceMessage = Text(device.get(), "printer-state-message");
      if (status->markers.empty()) ReadMarkers(device.get(), &status->markers);
    }
    status->deviceAsked = asked;
    return true;
  }

  bool ResumeQueue(const std::string& queue, std::string* error) override {
    return Admin(IPP_OP_RESUME_PRINTER, queue, error);
  }
  bool PauseQueue(const std::string& queue, std::string* error) override {
    return Admin(IPP_OP_PAUSE_PRINTER, queue, error);
  }

 private:
  Http Scheduler(std::string* error) const {
    const std::string server = m_options.server.empty() ? cupsServer() : m_options.server;
    return Connect(server, ippPort(), cupsEncryption(), m_options.timeoutMs, error);
  }

  ipp_t* QueueRequest(ipp_op_t op, const std::string& queue) const {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", queue.c_str());
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
  }

  // Sends `request` (and frees it); the answer when its status is a success.
  static Ipp Do(http_t* http, ipp_t* request, const char* resource, const char* file, std::string* error) {
    Ipp response(file ? cupsDoFileRequest(http, request, resource, file)
                      : cupsDoRequest(http, request, resource));
    if (!response || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
      if (error) *error = cupsLastErrorString();
      return nullptr;
    }
    return response;
  }

  Ipp GetJobs(const std::string& queue, const char* which, std::string* error) const {
    Http http = Scheduler(error);
    if (!http) return nullptr;
    ipp_t* request = QueueRequest(IPP_OP_GET_JOBS, queue);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, which);
    AddRequested(request, {"job-id", "job-name", "job-state", "copies", "time-at-completed",
                           "job-media-sheets-completed", "media", "media-col", "print-scaling"});
    return Do(http.get(), request, "/", nullptr, error);
  }

  bool Admin(ipp_op_t op, const std::string& queue, std::string* error) const {
    Http http = Scheduler(error);
    if (!http) return false;
    return Do(http.get(), QueueRequest(op, queue), "/admin/", nullptr, error) != nullptr;
  }

  // The printer behind a queue, where it speaks IPP itself (ipp, ipps). `asked` says whether
  // it could be asked at all; a USB printer cannot.
  Ipp AskDevice(const std::string& uri, std::initializer_list<const char*> names, bool* asked) const {
    if (asked) *asked = false;
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (uri.empty() ||
        httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
      return nullptr;
    }
    const bool secure = strcmp(scheme, "ipps") == 0;
    if (!secure && strcmp(scheme, "ipp") != 0) return nullptr;
    if (asked) *asked = true;
    Http http = Connect(host, port, secure ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_IF_REQUESTED,
                        m_options.deviceTimeoutMs, nullptr);
    if (!http) return nullptr;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    AddRequested(request, names);
    return Do(http.get(), request, resource, nullptr, nullptr);
  }

  static void ReadMarkers(ipp_t* ipp, std::vector<Marker>* markers) {
    ipp_attribute_t* names = ippFindAttribute(ipp, "marker-names", IPP_TAG_ZERO);
    ipp_attribute_t* levels = ippFindAttribute(ipp, "marker-levels", IPP_TAG_INTEGER);
    ipp_attribute_t* types = ippFindAttribute(ipp, "marker-types", IPP_TAG_ZERO);
    for (int i = 0, n = names ? ippGetCount(names) : 0; i < n; i++) {
      Marker m;
      const char* name = ippGetString(names, i, nullptr);
      m.name = name ? name : "";
      if (levels && i < ippGetCount(levels)) m.level = ippGetInteger(levels, i);
      const char* type = types && i < ippGetCount(types) ? ippGetString(types, i, nullptr) : nullptr;
      m.type = type ? type : "";
      markers->push_back(m);
    }
  }

  static void ParseMedia(ipp_t* ipp, QueueMedia* media) {
    std::map<std::string, MediaSize> byName;
    std::vector<std::string> order;
    auto add = [&](const MediaSize& m) {
      auto [it, inserted] = byName.emplace(m.name, m);
      if (inserted) order.push_back(m.name);
      it->second.borderless = it->second.borderless || m.borderless;
    };
    ipp_attribute_t* db = ippFindAttribute(ipp, "media-col-database", IPP_TAG_BEGIN_COLLECTION);
    for (int i = 0, n = db ? ippGetCount(db) : 0; i < n; i++) {
      ipp_t* col = ippGetCollection(db, i);
      ipp_attribute_t* sizeAttr = ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION);
      ipp_t* size = sizeAttr ? ippGetCollection(sizeAttr, 0) : nullptr;
      if (!size) continue;
      ipp_attribute_t* x = ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER);
      ipp_attribute_t* y = ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER);
      if (!x || !y) continue;  // a custom size range
      MediaSize m;
      m.width = ippGetInteger(x, 0);
      m.height = ippGetInteger(y, 0);
      m.name = Text(col, "media-size-name");
      if (m.name.empty()) {
        pwg_media_t* pwg = pwgMediaForSize(m.width, m.height);
        if (!pwg || !pwg->pwg) continue;
        m.name = pwg->pwg;
      }
      bool zero = true;
      for (const char* margin :
           {"media-bottom-margin", "media-left-margin", "media-right-margin", "media-top-margin"}) {
        ipp_attribute_t* a = ippFindAttribute(col, margin, IPP_TAG_INTEGER);
        zero = zero && a && ippGetInteger(a, 0) == 0;
      }
      m.borderless = zero;
      add(m);
    }
    for (const std::string& name : Keywords(ipp, "media-supported")) {
      if (byName.count(name)) continue;
      pwg_media_t* pwg = pwgMediaForPWG(name.c_str());
      if (!pwg) continue;  // custom ranges and names CUPS does not know
      add(MediaSize{name, pwg->width, pwg->length, false});
    }
    for (const std::string& name : order) media->sizes.push_back(byName[name]);
    if (media->defaultMedia.empty()) media->defaultMedia = Text(ipp, "media-default");
  }

  CupsOptions m_options;
};

}  // namespace

std::unique_ptr<PrintService> MakeCupsPrintService(const CupsOptions& options) {
  return std::make_unique<CupsPrintService>(options);
}

}  // namespace brisko
