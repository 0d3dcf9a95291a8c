#include "app/camera_search.h"

#include <mutex>
#include <thread>

#include "camera/camera_backend.h"

namespace brisko {

struct CameraSearch::State {
  mutable std::mutex mutex;
  std::optional<std::vector<FoundCamera>> found;
};

CameraSearch::CameraSearch() : m_state(std::make_shared<State>()) {
  std::thread([state = m_state] {
    std::vector<CameraInfo> cameras;
    MakeGphotoBackend()->Detect(cameras);
    std::vector<FoundCamera> found;
    for (const CameraInfo& c : cameras) found.push_back({c.model, c.port});
    std::lock_guard<std::mutex> lock(state->mutex);
    state->found = std::move(found);
  }).detach();
}

std::optional<std::vector<FoundCamera>> CameraSearch::Result() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->found;
}

}  // namespace brisko
