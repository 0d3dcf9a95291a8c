#include "camera/camera_session.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

namespace brisko {

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// How often a waiting caller gives its window a turn.
constexpr auto kPumpEvery = std::chrono::milliseconds(20);

}  // namespace

struct CameraSession::Worker {
  std::mutex mutex;
  std::condition_variable wake;  // the worker: a job or stop
  std::condition_variable done;  // the callers: a job ended
  std::deque<std::function<void()>> jobs;
  bool stop = false;
  std::atomic<bool> dead{false};
  // When the running job started or last moved a byte; 0 while none runs.
  std::atomic<int64_t> lastProgressMs{0};
  std::shared_ptr<CameraBackend> backend;
  std::unique_ptr<CameraDevice> device;
  std::thread thread;

  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return stop || !jobs.empty(); });
        if (jobs.empty()) break;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      job();
    }
    // The camera is closed on the thread that used it.
    device.reset();
  }
};

namespace {

struct Job {
  bool started = false;
  bool finished = false;
  CameraStatus status;
};

// Runs `work` on `worker` and waits for it with the limit; marks the worker dead on overrun.
CameraStatus RunTimed(const std::shared_ptr<CameraSession::Worker>& worker,
                      std::function<CameraStatus(CameraSession::Worker&)> work, int limitMs,
                      const CameraPump& pump) {
  using Kind = CameraStatus::Kind;
  if (worker->dead) return CameraStatus::Make(Kind::Timeout, "the camera stopped answering earlier");
  auto job = std::make_shared<Job>();
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->jobs.push_back([w = worker.get(), job, work = std::move(work)] {
      {
        std::lock_guard<std::mutex> lock(w->mutex);
        job->started = true;
        w->lastProgressMs = NowMs();
      }
      CameraStatus status =
          w->dead ? CameraStatus::Make(Kind::Timeout, "the camera stopped answering earlier") : work(*w);
      std::lock_guard<std::mutex> lock(w->mutex);
      job->status = std::move(status);
      job->finished = true;
      w->lastProgressMs = 0;
      w->done.notify_all();
    });
  }
  worker->wake.notify_one();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(worker->mutex);
      if (worker->done.wait_for(lock, kPumpEvery, [&] { return job->finished; })) return job->status;
      const int64_t since = worker->lastProgressMs;
      if (job->started && since != 0 && NowMs() - since > limitMs) {
        worker->dead = true;
        return CameraStatus::Make(Kind::Timeout, "the camera did not answer within " +
                                                     std::to_string((limitMs + 999) / 1000) + " s");
      }
      if (worker->dead && !job->started)
        return CameraStatus::Make(Kind::Timeout, "the camera stopped answering");
    }
    if (pump) pump();
  }
}

std::shared_ptr<CameraSession::Worker> StartWorker(std::shared_ptr<CameraBackend> backend) {
  auto worker = std::make_shared<CameraSession::Worker>();
  worker->backend = std::move(backend);
  // The thread holds the worker, so a session given up on leaves nothing dangling behind it.
  worker->thread = std::thread([keep = worker] { keep->Loop(); });
  return worker;
}

void StopWorker(const std::shared_ptr<CameraSession::Worker>& worker) {
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->stop = true;
    // Jobs not started yet are never started.
    if (worker->dead) worker->jobs.clear();
  }
  worker->wake.notify_one();
  // A thread stuck in the camera may never come back; it is not waited for.
  if (worker->dead) {
    worker->thread.detach();
  } else {
    worker->thread.join();
  }
}

}  // namespace

CameraSession::CameraSession(std::shared_ptr<CameraBackend> backend, CameraInfo info, CameraLimits limits)
    : m_worker(StartWorker(std::move(backend))), m_info(std::move(info)), m_limits(limits) {}

CameraSession::~CameraSession() {
  StopWorker(m_worker);
}

bool CameraSession::Dead() const {
  return m_worker->dead;
}

CameraStatus CameraSession::Call(std::function<CameraStatus(CameraDevice&)> work, int limitMs,
                                 const CameraPump& pump) {
  return RunTimed(
      m_worker,
      [work = std::move(work)](Worker& w) {
        if (!w.device) return CameraStatus::Make(CameraStatus::Kind::Gone, "the camera is not open");
        return work(*w.device);
      },
      limitMs, pump);
}

CameraStatus CameraSession::Open(const CameraPump& pump) {
  struct Can {
    bool events = false, uploads = false;
    std::string serial;
  };
  auto can = std::make_shared<Can>();
  CameraStatus status = RunTimed(
      m_worker,
      [info = m_info, can](Worker& w) {
        CameraStatus s = w.backend->Open(info, w.device);
        if (s.Ok() && w.device) *can = {w.device->HasEvents(), w.device->CanUpload(), w.device->Serial()};
        return s;
      },
      m_limits.openMs, pump);
  if (status.Ok()) {
    m_events = can->events;
    m_uploads = can->uploads;
    m_serial = can->serial;
  }
  return status;
}

CameraStatus CameraSession::ListFolder(const std::string& folder, std::vector<std::string>& files,
                                       std::vector<std::string>& folders, const CameraPump& pump) {
  struct Out {
    std::vector<std::string> files, folders;
  };
  auto out = std::make_shared<Out>();
  CameraStatus status =
      Call([folder, out](CameraDevice& d) { return d.ListFolder(folder, out->files, out->folders); },
           m_limits.callMs, pump);
  // The worker may still write into `out` after an overrun; only a finished call is read.
  if (status.kind != CameraStatus::Kind::Timeout) {
    files = std::move(out->files);
    folders = std::move(out->folders);
  }
  return status;
}

CameraStatus CameraSession::Stat(const std::string& folder, const std::string& name, CameraFileStat& stat,
                                 const CameraPump& pump) {
  auto out = std::make_shared<CameraFileStat>();
  CameraStatus status = Call([folder, name, out](CameraDevice& d) { return d.Stat(folder, name, *out); },
                             m_limits.callMs, pump);
  if (status.Ok()) stat = *out;
  return status;
}

CameraStatus CameraSession::Download(const std::string& folder, const std::string& name, int fd,
                                     const CameraPump& pump, std::shared_ptr<ContentHasher> hasher) {
  // The worker writes to its own descriptor: one the caller closes after an overrun can then
  // never be reused under it for another file.
  const int own = ::dup(fd);
  if (own < 0) return CameraStatus::Make(CameraStatus::Kind::Failed, "no file descriptor for the download");
  Worker* w = m_worker.get();
  return Call(
      [folder, name, own, w, hasher](CameraDevice& d) {
        int writeErr = 0;
        CameraStatus s = d.Download(folder, name, [&](const char* data, size_t size) {
          if (w->dead) return false;  // given up on: stop as soon as the camera lets us
          if (hasher) hasher->Update(data, size);
          while (size > 0) {
            const ssize_t n = ::write(own, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
              writeErr = n < 0 ? errno : EIO;
              return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
          }
          w->lastProgressMs = NowMs();
          return true;
        });
        ::close(own);
        if (writeErr != 0)
          return CameraStatus::Make(CameraStatus::Kind::Failed,
                                    std::string("writing the copy failed: ") + std::strerror(writeErr));
        return s;
      },
      m_limits.callMs, pump);
}

CameraStatus CameraSession::Delete(const std::string& folder, const std::string& name,
                                   const CameraPump& pump) {
  auto once = [&] {
    return Call([folder, name](CameraDevice& d) { return d.Delete(folder, name); }, m_limits.callMs, pump);
  };
  auto passing = [](const CameraStatus& s) {
    return s.kind == CameraStatus::Kind::Busy || s.kind == CameraStatus::Kind::Failed;
  };
  CameraStatus status = once();
  // A camera busy for a moment, or a card's passing error, is not a camera that refuses deletes,
  // which would leave the photo on it for good: asked once more first. Once a second asking
  // failed too, the camera refuses, and later photos are asked once.
  if (!m_refusesDeletes && passing(status)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    status = once();
    m_refusesDeletes = passing(status);
  }
  return status;
}

CameraStatus CameraSession::Upload(const std::string& folder, const std::string& name,
                                   const std::string& data, const CameraPump& pump) {
  return Call([folder, name, data](CameraDevice& d) { return d.Upload(folder, name, data); }, m_limits.callMs,
              pump);
}

CameraStatus CameraSession::WaitForEvent(int timeoutMs, CameraEvent& event, const CameraPump& pump) {
  auto out = std::make_shared<CameraEvent>();
  CameraStatus status = Call([timeoutMs, out](CameraDevice& d) { return d.WaitForEvent(timeoutMs, *out); },
                             m_limits.callMs + timeoutMs, pump);
  if (status.Ok()) event = *out;
  return status;
}

CameraStatus CameraSession::ForgetCache(const CameraPump& pump) {
  return Call([](CameraDevice& d) { return d.ForgetCache(); }, m_limits.callMs, pump);
}

CameraStatus CameraSession::Detect(const std::shared_ptr<CameraBackend>& backend, const CameraLimits& limits,
                                   std::vector<CameraInfo>& cameras, const CameraPump& pump) {
  auto worker = StartWorker(backend);
  auto out = std::make_shared<std::vector<CameraInfo>>();
  CameraStatus status = RunTimed(
      worker, [out](Worker& w) { return w.backend->Detect(*out); }, limits.detectMs, pump);
  if (status.kind != CameraStatus::Kind::Timeout) cameras = *out;
  StopWorker(worker);
  return status;
}

}  // namespace brisko
