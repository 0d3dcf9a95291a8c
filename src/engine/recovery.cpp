#include "engine/recovery.h"

#include "camera/camera_pool.h"
#include "camera/camera_source.h"
#include "engine/record_file.h"
#include "engine/tag_batch.h"
#include "support/path_util.h"

namespace brisko {

int RecoverAll(const std::string& tempFolder, const MoveRecovery& how, const CameraRecovery* cameras) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  // A record deleted by hand (its card never came back) holds its copies no longer.
  std::vector<std::string> present;
  for (const char* suffix : {kMoveRecordSuffix, kTagBatchSuffix, kCameraMoveRecordSuffix}) {
    for (std::string& path : ListRecordFiles(folder, suffix)) present.push_back(std::move(path));
  }
  ReleaseHeldMissing(folder, present);
  int placed = RecoverMoves(folder, how);
  placed += RecoverTagBatches(folder, how);
  placed += RecoverCameraMoves(folder, how, cameras ? *cameras : CameraRecovery{});
  return placed;
}

CameraRecovery CameraRecoveryOf(RunHost& host) {
  StationValues& values = host.Values();
  if (!values.m_cameras) values.m_cameras = std::make_shared<CameraPool>();
  std::shared_ptr<CameraPool> pool = values.m_cameras;
  CameraRecovery how;
  how.pump = [&host] { host.DispatchPendingEvents(); };
  how.connect = [pool, &host, pump = how.pump](const std::string& text) -> CameraSession* {
    const std::optional<CameraSource> source = ParseCameraSource(text);
    if (!source) return nullptr;
    return pool->Connect(*source, pump, [&host](const std::string& line) { host.AddToLog(line); });
  };
  how.present = [pool](const std::string& text) {
    const std::optional<CameraSource> source = ParseCameraSource(text);
    return source && pool->Present(*source);
  };
  return how;
}

}  // namespace brisko
