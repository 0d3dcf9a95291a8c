#pragma once
// Private to the camera run's files: camera_run.cpp opens the camera and selects its photos,
// camera_take.cpp downloads and queues them, camera_commit.cpp puts each batch in place and
// deletes its photos on the camera. A photo as it was listed, how a pass keys and names it, and
// the run that takes the selected photos.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "camera/camera_pool.h"
#include "engine/records/camera_move_record.h"
#include "engine/runs/action_run.h"
#include "engine/shots/shot_names.h"
#include "support/content_hash.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

struct ActionRun::CameraFile {
  CameraListing::File file;
  std::string listed;  // as the log and the templates see it: "camera:disk:/cam/DCIM/a.jpg"
};

namespace camera_pass {

inline std::string CameraPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// A photo on a camera as it was listed: the same path, size and time is the same photo.
inline std::string CameraKey(const CameraListing::File& f) {
  return CameraPath(f.folder, f.name) + "\t" + std::to_string(f.stat.size) + "\t" +
         std::to_string(f.stat.modTime);
}

// A copy keeps the photo's folder below the camera's root, as a card's copy keeps the folder
// below the source folder: two folders may hold photos of the same name.
inline std::string KeptFolder(const CameraListing::File& f, bool subfolders) {
  if (!subfolders || f.folder.size() <= 1) return {};
  return f.folder.substr(1) + "/";
}

// A hidden name of the file layer's form (scans pass over it; the temp sweep clears it).
inline std::string HiddenDownloadName(const std::string& folder) {
  return HiddenTempName(WithTrailingSeparator(folder), "cam");
}

inline bool IsLoss(const CameraStatus& status) {
  return status.kind == CameraStatus::Kind::Gone || status.kind == CameraStatus::Kind::Timeout;
}

}  // namespace camera_pass

// A camera run, step by step: each photo is downloaded once (beside its destination, or into the
// temp folder when it is turned or tagged on the way), judged by the filters that need its data,
// named, and queued; a batch is then moved beside its targets where it is on another file
// system, flushed, recorded (a move), placed, and its photos deleted on the camera.
class ActionRun::CameraRun {
 public:
  CameraRun(ActionRun& action, const CameraSource& source, CameraSession*& session)
      : a(action),
        m_source(source),
        session(session),
        values(action.m_host->Values()),
        pool(*values.m_cameras),
        move(action.m_settings.m_iType != kCopyFiles),
        check(action.m_settings.m_bVerifyCopies != 0),
        steps(move && (action.m_settings.m_bAutoRotateJPG || action.m_settings.m_bAddOrUpdateBriskoExif)) {}

  bool Run(std::vector<CameraFile>& files);

 private:
  struct Pending {
    const CameraFile* from;
    std::string temp;
    std::string target;
    uint64_t size = 0;
    int shot = -1;  // its shot in `shotsPending` (-1: a photo of its own)
    // Checked copies: the bytes as they were written (unset when a step rewrote the download).
    ContentHash hash = {};
    bool checked = false;
  };
  struct PendingShot {
    std::string leader;  // as listed, for the log
    ShotNames::Entry remembered;
    std::string xmpTarget;  // where a shot without a JPEG gets its BriskoExif block ("": none)
    std::string comment;
  };
  enum class Got { Ok, Skipped, Lost };

  // Downloads one photo to a hidden name in the download folder (or `folder`), with the camera's
  // time; `hash` gets the hash of the bytes as they were written.
  Got Download(const CameraFile& from, std::string& temp, ContentHash* hash = nullptr,
               const std::string* folder = nullptr);

  // The filters that need the photo's own data look at the downloaded copy.
  bool PassesFilters(const std::string& temp, const std::string& listed);

  // A move's own steps on the download: turned (true when it was) and tagged.
  bool TurnAndTag(const std::string& temp, const CameraFile& from, BriskoExifFields& fields);

  // Where it goes: the destination folder, its generated subfolder, "Rotated/".
  std::string DestinationOf(const CameraListing::File& f, const std::string& temp,
                            const BriskoExifFields& fields, const NamingContext& context, bool rotated);

  // A copy already up to date at `target` is not placed again.
  bool UpToDate(const CameraListing::File& f, const std::string& target) const;

  // Downloads, judges, names and queues one photo; false when the camera is lost.
  bool TakeOne(const CameraFile& from);

  // The list holds whole shots: grouped again by camera folder, in the order of the list.
  void RunShots(std::vector<CameraFile>& files, const std::string& description);

  // Downloads every file of a shot, judges and names it by its leader, and queues it whole:
  // one counter value, one folder, one base name (one collision suffix for all). A shot whose
  // files cannot all be had stays on the camera. False when the camera is lost.
  bool TakeShot(const Shot& shot, const std::vector<const CameraFile*>& members);
  // Its steps: every file downloaded (none kept when one cannot be had); the JPEG turned and
  // tagged, a turned one taking its shot into "Rotated/" (`hasJpeg`: the shot has one); where the
  // shot goes and its base name, or those of the shot it joins; one collision suffix for all its
  // files; the BriskoExif block of a shot without a JPEG, for its XMP sidecar; its files queued
  // under `name` (a copy already up to date is not).
  Got DownloadShot(const std::vector<const CameraFile*>& members, std::vector<std::string>& temps,
                   std::vector<ContentHash>& hashes);
  bool TurnShotJpeg(const std::vector<std::string>& all, const std::vector<const CameraFile*>& members,
                    const std::vector<std::string>& temps, std::vector<ContentHash>& hashes,
                    BriskoExifFields& fields, bool& hasJpeg);
  void NameShot(const CameraFile& leader, const std::string& leaderTemp, const ShotNames::Entry* earlier,
                const BriskoExifFields& fields, const NamingContext& context, bool rotated,
                std::string& destination, std::string& base);
  std::string ShotSuffix(const Shot& shot, const std::vector<std::string>& all, const std::string& base,
                         const std::string& destination, const ShotNames::Entry* earlier);
  void KeepSidecarBlock(const Shot& shot, const std::vector<std::string>& all, const CameraFile& leader,
                        BriskoExifFields& fields, const std::string& destination, const std::string& name);
  void QueueShot(const Shot& shot, const std::vector<std::string>& all,
                 const std::vector<const CameraFile*>& members, const std::vector<std::string>& temps,
                 const std::vector<ContentHash>& hashes, const std::string& destination,
                 const std::string& name, int index);

  // The photos a camera no longer holds leave the listing; a lost camera ends the run's calls to it.
  void Forget(const CameraListing::File& f);
  void LoseCamera(const CameraStatus& status, const std::string& listed);

  // The queued batch's commit (camera_commit.cpp).
  void Commit();

  // What of the part's shots is in place counts as moved for late partners; the rest is to come.
  void ConfirmShots(const std::vector<Pending>& part, const std::vector<std::string>& placed,
                    const std::vector<PendingShot>& shots);

  // A shot without a JPEG carries its BriskoExif block in its XMP sidecar (merged into the one it
  // brought, else a new one), written once its files are in place and its record is finished.
  void TagSidecars(const std::vector<Pending>& part, const std::vector<std::string>& placed,
                   const std::vector<PendingShot>& shots);

  // The record of one download, once it is beside its target. Where it could not be copied
  // there, no inode number: recovery then compares the download's bytes with the copy in place.
  CameraMoveRecord::Entry EntryOf(const Pending& p) const;

  // A download made in the temp folder on another file system is copied beside its target
  // first: placed by a rename, its copy keeps the inode number the record names, and recovery
  // never has to take a file at the target for it on its size.
  void MoveBesideTargets();
  bool FlushBatch();

  // Checked copies: each flushed download is read back from the disk and compared with the bytes
  // as they were written. One that differs is downloaded once more; when that differs too, the
  // photo stays on the camera.
  // A file of a shot that fails takes its whole shot off the batch: the shot stays whole on the
  // camera.
  void CheckBatch(const std::vector<PendingShot>& shots);

  bool DownloadAgain(Pending& p);
  bool RecordBatch(CameraMoveJournal& journal, const CameraMoveRecord& record);
  void PlaceBatch(std::vector<std::string>& placed);

  // Where the shot goes is on disk before any of it is placed: a partner arriving after a crash
  // still finds its shot.
  void RememberShots(const std::vector<PendingShot>& shots);

  // A shot is in place whole or not at all: where one of its files could not be placed, the
  // copies of the others go again (their photos are still on the camera) and the shot stays
  // whole on the camera for the next pass.
  void TakeBackPartShots(std::vector<std::string>& placed);

  void SettleBatch(const std::vector<std::string>& placed, CameraMoveJournal& journal);

  ActionRun& a;
  const CameraSource& m_source;
  CameraSession*& session;
  StationValues& values;
  CameraPool& pool;
  const bool move;
  const bool check;
  const bool steps;
  const CameraPump pump = [this] { a.m_host->DispatchPendingEvents(); };
  std::string downloadFolder;
  bool result = true;
  bool lost = false;
  std::vector<Pending> batch;
  uint64_t batchBytes = 0;
  std::set<std::string> pendingTargets;
  std::vector<PendingShot> shotsPending;  // the shots `batch` holds files of
  std::vector<std::string> shotLeaders;   // the leaders of the shots being placed, for the log
  ShotNames names{a.GetTempFolder()};
};

}  // namespace brisko
