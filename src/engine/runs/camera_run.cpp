// The run of an action whose source is a camera: the camera's files are listed (or, for a
// camera that announces new shots, taken from its events), selected as a card's would be,
// downloaded once into a hidden name beside their destination (or into the temp folder when
// they are rotated or tagged on the way), flushed a batch at a time and renamed into place.
// A move deletes a photo on the camera only once its copy is durable under its final name,
// through a record that a crash leaves behind for the next pass.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "camera/camera_pool.h"
#include "camera/camera_source.h"
#include "engine/base/run_support.h"
#include "engine/records/camera_move_record.h"
#include "engine/records/move_journal.h"
#include "engine/runs/action_run.h"
#include "engine/shots/shot_date.h"
#include "engine/shots/shot_names.h"
#include "engine/shots/shots.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/exif_access.h"
#include "rawmeta/xmp_sidecar.h"
#include "scheduler/id_txt.h"
#include "support/file_ops.h"
#include "support/file_spec_find.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

struct ActionRun::CameraFile {
  CameraListing::File file;
  std::string listed;  // as the log and the templates see it: "camera:disk:/cam/DCIM/a.jpg"
};

namespace {

// A batch shares one flush of its file system; bounded so the log keeps step with the camera.
constexpr size_t kCameraBatchFiles = 64;
constexpr uint64_t kCameraBatchBytes = 512ull << 20;
// An ID.TXT is a few lines; anything larger is not read from a camera.
constexpr uint64_t kMaxIdTxtBytes = 64 * 1024;
// How long a lone file of a shot waits for its partner, from the pass that first lists it.
constexpr int64_t kCameraPartnerWaitSeconds = 5;

std::string CameraPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// A photo on a camera as it was listed: the same path, size and time is the same photo.
std::string CameraKey(const CameraListing::File& f) {
  return CameraPath(f.folder, f.name) + "\t" + std::to_string(f.stat.size) + "\t" +
         std::to_string(f.stat.modTime);
}

// A copy keeps the photo's folder below the camera's root, as a card's copy keeps the folder
// below the source folder: two folders may hold photos of the same name.
std::string KeptFolder(const CameraListing::File& f, bool subfolders) {
  if (!subfolders || f.folder.size() <= 1) return {};
  return f.folder.substr(1) + "/";
}

// A hidden name of the file layer's form (scans pass over it; the temp sweep clears it).
std::string HiddenDownloadName(const std::string& folder) {
  return HiddenTempName(WithTrailingSeparator(folder), "cam");
}

uint64_t DeviceOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_dev) : 0;
}

// One flush for each file system the files are on.
int FlushFileSystems(const std::vector<std::string>& paths) {
  std::set<uint64_t> done;
  int result = 0;
  for (const std::string& path : paths) {
    const uint64_t device = DeviceOf(path);
    if (!done.insert(device).second) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) result = errno ? errno : EIO;
    if (fd >= 0) ::close(fd);
  }
  return result;
}

bool IsLoss(const CameraStatus& status) {
  return status.kind == CameraStatus::Kind::Gone || status.kind == CameraStatus::Kind::Timeout;
}

}  // namespace

bool ActionRun::RunCameraBody() {
  const std::string description = GetDescription();
  std::string why;
  const std::optional<CameraSource> source = ParseCameraSource(m_settings.m_strSourceFolder, &why);
  if (!source || !(m_settings.m_iType == kCopyFiles || m_settings.m_iType == kMoveFiles ||
                   m_settings.m_iType == kMoveFilesFromMedia)) {
    LogMessage("FAILED: Camera source " + m_settings.m_strSourceFolder + ": " +
               (source
                    ? std::string("only Copy Files, Move Files and Move Files from Media take photos from a "
                                  "camera")
                    : why));
    m_host->SetProgress(0, 100, description, "Completed action");
    return false;
  }
  StationValues& values = m_host->Values();
  if (!values.m_cameras) values.m_cameras = std::make_shared<CameraPool>();
  // Calls into the camera dispatch events while they wait; no action starts meanwhile.
  ++values.g_nShellOperationDepth;
  struct Depth {
    StationValues& values;
    ~Depth() { --values.g_nShellOperationDepth; }
  } depth{values};
  CameraPool& pool = *values.m_cameras;
  CameraSession* session = pool.Connect(
      *source, [this] { m_host->DispatchPendingEvents(); },
      [this](const std::string& line) { m_host->AddToLog(line); });
  if (!session) {
    // An absent camera is an absent card: nothing to do, nothing to say.
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  const std::string settings = SelectionSettings();
  if (settings != m_memory.cameraSettings) {
    m_memory.cameraCopies.clear();
    m_memory.cameraLeft.clear();
    m_memory.cameraSettings = settings;
  }
  const bool move = m_settings.m_iType != kCopyFiles;
  // What a camera refusing deletes kept is never taken again, after a restart too.
  auto keyOf = [](const CameraMoveRecord::Entry& e) {
    return CameraPath(e.folder, e.name) + "\t" + std::to_string(e.size) + "\t" + std::to_string(e.modTime);
  };
  std::set<std::string> unsettled;
  if (move) {
    for (const CameraMoveRecord::Entry& e :
         ReadKeptOnCamera(GetTempFolder(), m_settings.m_strName, source->Text()))
      m_memory.cameraLeft.insert(keyOf(e));
    for (const CameraMoveRecord::Entry& e :
         ReadUnfinishedOnCamera(GetTempFolder(), m_settings.m_strName, source->Text()))
      unsettled.insert(keyOf(e));
  }
  if (session->Dead()) {
    pool.Lost(*source, [this](const std::string& line) { m_host->AddToLog(line); });
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  m_host->SetProgress(0, 1, description, "Creating file list");
  const CameraStatus listed = pool.Refresh(*source, *session, [this] { m_host->DispatchPendingEvents(); });
  if (!listed.Ok()) {
    pool.Lost(*source, [&](const std::string& line) { m_host->AddToLog(line + " (" + listed.text + ")"); });
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }

  // Selection: the file specification, the age from the camera's time, the newest left behind.
  FileSpecFilter filter;
  std::string patternError;
  filter.SetErrorSink(&patternError, nullptr);
  filter.SetSpecs(m_settings.m_strFileSpec, m_settings.m_strFileSpecExclude,
                  m_settings.m_bUseRegexFilespec != 0);
  const bool subfolders = m_settings.m_iType == kMoveFilesFromMedia || m_settings.m_bIncludeSubFolders;
  const int64_t now = m_host->Now();
  const int64_t minimumAge = MinimumFileAge();
  const std::string prefix = source->Text();
  std::vector<CameraFile> present;  // what the selection may take
  std::vector<Selected> selected;
  size_t heldBack = 0;
  const CameraListing::File* idTxtFile = nullptr;
  for (const CameraListing::File& f : pool.Listing(*source).files) {
    const bool top = f.folder == "/" || f.folder.find('/', 1) == std::string::npos;
    if (EqualsNoCase(f.name, kIdTxtFileName) && top && (!idTxtFile || f.folder == "/")) idTxtFile = &f;
    if (!subfolders && f.folder != "/") continue;
    // A folder named *.processing is passed over by its own name, as on a card.
    if (IsProcessingFolder(f.folder) || IsFileLayerTempName(f.name)) continue;
    if (m_memory.cameraLeft.count(CameraKey(f)) || unsettled.count(CameraKey(f))) continue;
    const std::string path = prefix + CameraPath(f.folder, f.name);
    // What a shot's files may bring along: its sidecars, whatever the file pattern names.
    present.push_back({f, path});
    if (!filter.Passes(f.name, false)) continue;
    if (std::max<int64_t>(0, now - f.stat.modTime) < minimumAge) {
      LogFileNote(1, "File not old enough", path);
      ++heldBack;
      continue;
    }
    // A copy already up to date counts for "leave at least" but is not handed on; a pass with
    // nothing else to do leaves the camera (and its ID.TXT) alone.
    bool settled = false;
    if (m_settings.m_iType == kCopyFiles) {
      auto upToDate = [&](const std::string& target) {
        FileInfo status;
        return GetFileStatus(target, status) && f.stat.modTime <= status.modTime;
      };
      auto known = m_memory.cameraCopies.find(CameraKey(f));
      settled =
          (known != m_memory.cameraCopies.end() && upToDate(known->second)) ||
          (!m_settings.m_bCreateNewSubfolder &&
           upToDate(WithTrailingSeparator(m_settings.m_strDestFolder) + KeptFolder(f, subfolders) + f.name));
    }
    selected.push_back({path, f.stat.modTime, settled});
  }
  if (!patternError.empty()) LogMessage(patternError);
  if (KeepsShots()) {
    KeepCameraShots(*source, present, selected, heldBack);
  } else {
    LeaveNewestFiles(selected, heldBack);
  }
  std::vector<CameraFile> files;
  std::map<std::string, CameraFile*> byPath;
  for (CameraFile& c : present) byPath[c.listed] = &c;
  for (const Selected& s : selected) {
    auto it = byPath.find(s.path);
    if (s.settled || it == byPath.end() || !it->second) continue;
    files.push_back(std::move(*it->second));
    it->second = nullptr;  // once, though a shot may name it again
  }
  if (files.empty()) {
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }

  // The batch's ID.TXT, read from the camera's storage root into the temp folder.
  auto pump = [this] { m_host->DispatchPendingEvents(); };
  std::unique_ptr<CIdTxt> idTxt = std::make_unique<CIdTxt>(&m_host->Store());
  struct ClearRecord {
    CIdTxt*& ref;
    ~ClearRecord() { ref = nullptr; }
  } clearRecord{m_pIdTxt};
  const std::string idTxtLocal = HiddenDownloadName(GetTempFolder());
  std::string idTxtFolder = "/";
  std::string idTxtName = kIdTxtFileName;
  bool haveIdTxt = false;
  const bool hadIdTxt = idTxtFile != nullptr;
  if (idTxtFile && idTxtFile->stat.size <= kMaxIdTxtBytes) {
    idTxtFolder = idTxtFile->folder;
    idTxtName = idTxtFile->name;
    const int fd = ::open(idTxtLocal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      const CameraStatus got = session->Download(idTxtFolder, idTxtName, fd, pump);
      ::close(fd);
      haveIdTxt = got.Ok() && idTxt->ReadFromFolders({idTxtLocal}, [&](const std::string&) {
        return std::optional<std::string>(idTxtLocal);
      });
    }
  } else if (!files.empty()) {
    // A camera keeps its files below a storage folder ("/store_00010001"); a new ID.TXT goes there.
    const std::string& first = files.front().file.folder;
    const size_t slash = first.find('/', 1);
    if (first.rfind("/store_", 0) == 0) idTxtFolder = first.substr(0, slash);
  }
  if (!haveIdTxt) {
    if (m_settings.m_iType == kMoveFilesFromMedia && m_settings.m_bCreateIDTxtFile) {
      idTxt->m_iBatchID = idTxt->NewBatchId();
      haveIdTxt = true;
    } else {
      idTxt.reset();
    }
  }
  if (idTxt) idTxt->m_strFilePath = idTxtLocal;
  m_pIdTxt = idTxt.get();
  bool keepLocal = false;

  if (m_settings.m_iType == kMoveFilesFromMedia) {
    char line[64];
    std::snprintf(line, sizeof line, "Moving %d file(s) from media", static_cast<int>(files.size()));
    LogMessage(line);
  }
  const bool result = CameraCopyOrMove(*source, session, files);

  values.m_iBatchCounter += 1;
  if (idTxt) {
    // Written after the photos, as on a card; a camera that takes no files is said once.
    auto upload = [&]() {
      std::string text;
      FILE* f = std::fopen(idTxtLocal.c_str(), "rb");
      if (!f) return;
      char buffer[4096];
      size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < kMaxIdTxtBytes)
        text.append(buffer, n);
      std::fclose(f);
      if (!session || session->Dead()) return;
      // The old one goes only on a camera that takes files; a camera may hold two files of one
      // name, so it cannot stay while the new one is written.
      CameraStatus put = CameraStatus::Make(CameraStatus::Kind::Unsupported, "the camera takes no files");
      if (session->CanUpload()) {
        session->Delete(idTxtFolder, idTxtName, pump);
        put = session->Upload(idTxtFolder, idTxtName, text, pump);
        if (!put.Ok() && !IsLoss(put)) put = session->Upload(idTxtFolder, idTxtName, text, pump);
        if (put.Ok()) {
          // The listing learns the new file (its time and size) without reading the camera again.
          CameraListing::File written{idTxtFolder, idTxtName, {}};
          if (session->Stat(idTxtFolder, idTxtName, written.stat, pump).Ok()) {
            std::vector<CameraListing::File>& all = pool.Listing(*source).files;
            bool replaced = false;
            for (CameraListing::File& f : all) {
              if (f.folder == idTxtFolder && f.name == idTxtName) {
                f = written;
                replaced = true;
              }
            }
            if (!replaced) all.push_back(written);
          }
        }
        if (!put.Ok() && hadIdTxt) {
          // Its old text is gone from the camera: the record stays in the temp folder.
          keepLocal = true;
          LogMessage("FAILED: Write ID.TXT to the camera (" + put.text + "); it is kept at " + idTxtLocal);
          return;
        }
      }
      if (!put.Ok() && !m_memory.cameraIdTxtSaid) {
        LogMessage("ID.TXT not written to the camera (" + put.text + ")");
        m_memory.cameraIdTxtSaid = true;
      }
    };
    if (idTxt->Write(idTxtLocal, true)) {
      upload();
      if (m_settings.m_bDisplayIdTxtContents && m_host->EditIdTxt(*idTxt) && idTxt->Write(idTxtLocal, false))
        upload();
    }
    m_pIdTxt = nullptr;
    idTxt.reset();
  }
  if (!keepLocal) ::unlink(idTxtLocal.c_str());
  m_host->SetProgress(0, 100, description, "Completed action");
  return result;
}

void ActionRun::KeepCameraShots(const CameraSource& source, const std::vector<CameraFile>& present,
                                std::vector<Selected>& selected, size_t& heldBack) {
  const int64_t now = m_host->Now();
  std::map<std::string, int64_t> seen;  // what the camera no longer holds is forgotten
  for (const CameraFile& c : present) {
    const std::string key = CameraKey(c.file);
    auto known = m_memory.cameraFirstSeen.find(key);
    seen[key] = known == m_memory.cameraFirstSeen.end() ? now : known->second;
  }
  m_memory.cameraFirstSeen = std::move(seen);
  const std::string prefix = source.Text();
  // "camera:disk:/cam/DCIM/100/" is the camera's "/DCIM/100".
  auto cameraFolder = [&prefix](const std::string& folder) {
    std::string at = folder.substr(std::min(prefix.size(), folder.size()));
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    return at.empty() ? std::string("/") : at;
  };
  std::map<std::string, std::vector<const CameraListing::File*>> byFolder;
  std::map<std::pair<std::string, std::string>, const CameraListing::File*> byName;
  for (const CameraFile& c : present) {
    byFolder[c.file.folder].push_back(&c.file);
    byName[{c.file.folder, c.file.name}] = &c.file;
  }
  auto list = [&](const std::string& folder, std::vector<FileInfo>& entries) {
    for (const CameraListing::File* f : byFolder[cameraFolder(folder)]) {
      FileInfo e;
      e.name = f->name;
      e.path = folder + f->name;
      e.modTime = f->stat.modTime;
      e.size = f->stat.size;
      entries.push_back(std::move(e));
    }
    return true;
  };
  // A camera writes a shot's RAW and JPEG one after the other, a tethered one seconds apart: a
  // lone RAW or JPEG waits a moment for its partner (from the pass that first lists it, or from
  // its camera time), unless its shot has gone already (it then joins it by the names remembered).
  const ShotNames names(GetTempFolder());
  auto waits = [&](const std::string& folder, const Shot& shot) {
    if (shot.members.size() != 1 || shot.members[0].kind == ShotFileKind::Other) return false;
    auto found = byName.find({cameraFolder(folder), shot.members[0].name});
    if (found == byName.end()) return false;
    const CameraListing::File& f = *found->second;
    // Its camera's time counts too: a single pass (--run-once) lists every file for the first
    // time and would otherwise never take a lone one.
    if (now - m_memory.cameraFirstSeen[CameraKey(f)] >= kCameraPartnerWaitSeconds ||
        now - f.stat.modTime >= kCameraPartnerWaitSeconds)
      return false;
    std::string kind = SplitPath(f.name).extension;
    for (char& ch : kind) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return names.Find(folder, shot.key, 0, {kind}, now) == nullptr;
  };
  KeepShotsInSelection(selected, heldBack, list, waits);
}

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

  bool Run(std::vector<CameraFile>& files) {
    const std::string description = a.GetDescription();
    downloadFolder = steps ? a.GetTempFolder() : WithTrailingSeparator(a.m_settings.m_strDestFolder);
    a.CreateFolderPath(downloadFolder);
    if (a.KeepsShots()) {
      RunShots(files, description);
      Commit();
      names.Save(a.m_host->Now());
      return result;
    }
    const int n = static_cast<int>(files.size());
    for (int i = 0; i < n && !lost; ++i) {
      if (move) values.m_iFileCounter += 1;
      a.m_host->SetProgress(i, n, description, move ? "Moving files" : "Copying files");
      if (!TakeOne(files[size_t(i)])) break;
    }
    Commit();
    return result;
  }

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
               const std::string* folder = nullptr) {
    const CameraListing::File& f = from.file;
    temp = HiddenDownloadName(folder ? *folder : downloadFolder);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      const int err = errno;
      a.LogMessage(move ? MoveFailedLine(from.listed, downloadFolder)
                        : "FAILED: Copy file " + from.listed + " to " + downloadFolder);
      a.LogMessage(ErrnoText(err));
      result = false;
      return Got::Skipped;
    }
    auto hasher = hash ? std::make_shared<ContentHasher>() : nullptr;
    const CameraStatus got = session->Download(f.folder, f.name, fd, pump, hasher);
    if (hasher) *hash = hasher->Digest();
    // The disk starts writing now, while the next photo comes; the batch's flush then waits
    // for less.
    if (got.Ok()) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    const bool closed = ::close(fd) == 0;
    if (!got.Ok() || !closed) {
      // The partial copy goes; the photo stays on the camera for the next pass.
      ::unlink(temp.c_str());
      if (got.kind == CameraStatus::Kind::NotFound && pool.Present(m_source)) {
        Forget(f);  // taken off the camera since it was listed
        return Got::Skipped;
      }
      if (IsLoss(got) || !pool.Present(m_source)) {
        LoseCamera(got, from.listed);
        return Got::Lost;
      }
      a.LogMessage(move ? MoveFailedLine(from.listed, downloadFolder)
                        : "FAILED: Copy file " + from.listed + " to " + downloadFolder);
      a.LogMessage("  Reason: " + (got.Ok() ? std::string("closing the copy failed") : got.text));
      result = false;
      return Got::Skipped;
    }
    MoveJournal::Reached("camera photo downloaded");
    // The copy carries the camera's time (a camera that gives none leaves the download's own).
    if (f.stat.modTime > 0) SetFileTimes(temp, f.stat.modTime, kKeepTime);
    return Got::Ok;
  }

  // The filters that need the photo's own data look at the downloaded copy.
  bool PassesFilters(const std::string& temp, const std::string& listed) {
    if (a.m_settings.m_bSelectByOrientation) {
      const std::optional<bool> landscape = DecideLandscape(temp);
      if (landscape && *landscape != (a.m_settings.m_bSelectLandscape != 0)) {
        a.LogFileNote(1, "Wrong orientation", listed);
        return false;
      }
    }
    return a.PassesGpsFilter(temp);
  }

  // A move's own steps on the download: turned (true when it was) and tagged.
  bool TurnAndTag(const std::string& temp, const CameraFile& from, BriskoExifFields& fields) {
    bool rotated = false;
    if (move && a.m_settings.m_bAutoRotateJPG && JpegNeedsRotation(temp)) {
      const std::string turned = HiddenDownloadName(downloadFolder);
      std::string whyNot;
      if (AutoRotateJpeg(downloadFolder, temp, turned, &whyNot) &&
          ::rename(turned.c_str(), temp.c_str()) == 0) {
        rotated = true;
        a.LogMessage("Rotated " + from.listed);
        a.m_host->NotePhotoStep(PhotoStep::Rotated);
      } else {
        ::unlink(turned.c_str());
        a.LogMessage("Not rotated: " +
                     (whyNot.empty() ? std::string("the lossless turn of its picture failed") : whyNot) +
                     ": " + from.listed);
      }
    }
    if (move && a.m_settings.m_bAddOrUpdateBriskoExif) {
      CompleteFieldsForWrite(fields, from.listed, a.m_pIdTxt, values.m_strBarcodeInputsArray,
                             values.m_strOperatorSelectedText,
                             BriskoExifCustomMap(a.m_settings.m_BriskoExifCustomActionFieldsMap));
      const std::string tagged = HiddenDownloadName(downloadFolder);
      if (fields.WriteToFile(temp, tagged, DefaultExifAccess()) &&
          ::rename(tagged.c_str(), temp.c_str()) == 0) {
        a.m_host->NotePhotoStep(PhotoStep::Tagged);
      } else {
        ::unlink(tagged.c_str());
        a.LogMessage("Not tagged: its JPEG data cannot be read: " + from.listed);
      }
    }
    const int64_t modTime = from.file.stat.modTime;
    if (modTime > 0 && (rotated || (move && a.m_settings.m_bAddOrUpdateBriskoExif)))
      SetFileTimes(temp, modTime, kKeepTime);
    return rotated;
  }

  // Where it goes: the destination folder, its generated subfolder, "Rotated/".
  std::string DestinationOf(const CameraListing::File& f, const std::string& temp,
                            const BriskoExifFields& fields, const NamingContext& context, bool rotated) {
    std::string destination = WithTrailingSeparator(a.m_settings.m_strDestFolder);
    if (a.m_settings.m_bCreateNewSubfolder) {
      const std::string subfolder =
          a.m_settings.m_SubfolderTemplate.GenerateSubfolderName(a.m_pIdTxt, fields, temp, context);
      if (!subfolder.empty()) destination = TrimTrailingSeparators(destination) + "/" + subfolder + "/";
    }
    if (!move) destination += KeptFolder(f, a.m_settings.m_bIncludeSubFolders != 0);
    if (rotated && a.m_settings.m_bAutoRotateUseSubfolder) destination += "Rotated/";
    if (!PathExists(destination)) a.CreateFolderPath(destination);
    return destination;
  }

  // A copy already up to date at `target` is not placed again.
  bool UpToDate(const CameraListing::File& f, const std::string& target) const {
    FileInfo status;
    return GetFileStatus(target, status) && f.stat.modTime <= status.modTime;
  }

  // Downloads, judges, names and queues one photo; false when the camera is lost.
  bool TakeOne(const CameraFile& from) {
    const CameraListing::File& f = from.file;
    NamingContext context = a.MakeNamingContext();
    context.listed = ListedPhoto{from.listed, std::time_t(f.stat.modTime), std::time_t(f.stat.modTime)};

    // A copy whose destination is known without the photo is checked before it is downloaded.
    if (!move) {
      auto known = a.m_memory.cameraCopies.find(CameraKey(f));
      if (known != a.m_memory.cameraCopies.end() && UpToDate(f, known->second)) return true;
      if (!a.m_settings.m_bCreateNewSubfolder &&
          UpToDate(f, WithTrailingSeparator(a.m_settings.m_strDestFolder) +
                          KeptFolder(f, a.m_settings.m_bIncludeSubFolders != 0) + f.name))
        return true;
    }

    std::string temp;
    ContentHash hash;
    const Got got = Download(from, temp, check ? &hash : nullptr);
    if (got != Got::Ok) return got != Got::Lost;
    if (!PassesFilters(temp, from.listed)) {
      ::unlink(temp.c_str());
      a.m_memory.cameraLeft.insert(CameraKey(f));
      return true;
    }
    // The download's hidden name says nothing of what it is: the listed name does.
    ShotDateAccess dates(temp, f.name, std::string(), std::string());
    context.exif = &dates;
    BriskoExifFields fields;
    a.ReadFields(temp, fields);
    const bool rotated = TurnAndTag(temp, from, fields);
    const std::string destination = DestinationOf(f, temp, fields, context, rotated);
    std::string name = f.name;
    if (move && a.m_settings.m_bRenameFile) {
      std::string newName =
          a.m_settings.m_RenameTemplate.GenerateNewName(temp, a.m_pIdTxt, fields, false, context);
      if (!newName.empty()) name = std::move(newName);
    }
    std::string target = destination + name;
    if (!move) {
      if (UpToDate(f, target)) {
        ::unlink(temp.c_str());
        a.m_memory.cameraCopies[CameraKey(f)] = target;
        return true;
      }
    } else if (!a.m_settings.m_bOverwriteExistingFiles) {
      a.MakeUniqueFileName(target,
                           [&](const std::string& p) { return pendingTargets.count(p) || PathExists(p); });
    }
    pendingTargets.insert(target);
    batch.push_back({&from, temp, target, f.stat.size});
    // A turned or tagged download is a new file: nothing to compare it with.
    if (!rotated && !(move && a.m_settings.m_bAddOrUpdateBriskoExif)) batch.back().hash = hash;
    batchBytes += f.stat.size;
    if (batch.size() >= kCameraBatchFiles || batchBytes >= kCameraBatchBytes) Commit();
    return true;
  }

  // The list holds whole shots: grouped again by camera folder, in the order of the list.
  void RunShots(std::vector<CameraFile>& files, const std::string& description) {
    std::vector<std::string> folderOrder;
    std::map<std::string, std::vector<const CameraFile*>> byFolder;
    for (const CameraFile& c : files) {
      auto [it, fresh] = byFolder.try_emplace(c.file.folder);
      if (fresh) folderOrder.push_back(c.file.folder);
      it->second.push_back(&c);
    }
    const int n = static_cast<int>(files.size());
    int done = 0;
    for (const std::string& folder : folderOrder) {
      std::map<std::string, const CameraFile*> byName;
      std::vector<std::string> listed;
      for (const CameraFile* c : byFolder[folder]) {
        byName[c->file.name] = c;
        listed.push_back(c->file.name);
      }
      for (const Shot& shot : GroupShots(listed)) {
        a.m_host->SetProgress(done, n, description, move ? "Moving files" : "Copying files");
        std::vector<const CameraFile*> members;
        for (const std::string& name : SelectedFiles(shot, [](const std::string&) { return true; }))
          members.push_back(byName[name]);
        done += static_cast<int>(members.size());
        if (!TakeShot(shot, members) || lost) return;
      }
    }
  }

  // Downloads every file of a shot, judges and names it by its leader, and queues it whole:
  // one counter value, one folder, one base name (one collision suffix for all). A shot whose
  // files cannot all be had stays on the camera. False when the camera is lost.
  bool TakeShot(const Shot& shot, const std::vector<const CameraFile*>& members) {
    const std::vector<std::string> all = SelectedFiles(shot, [](const std::string&) { return true; });
    std::vector<std::string> temps;
    std::vector<ContentHash> hashes;
    auto drop = [&temps] {
      for (const std::string& t : temps) ::unlink(t.c_str());
    };
    for (const CameraFile* c : members) {
      std::string temp;
      ContentHash& hash = hashes.emplace_back();
      const Got got = Download(*c, temp, check ? &hash : nullptr);
      if (got != Got::Ok) {
        drop();
        return got != Got::Lost;
      }
      temps.push_back(temp);
    }
    auto indexOf = [&all](const std::string& name) {
      return size_t(std::find(all.begin(), all.end(), name) - all.begin());
    };
    const size_t lead = indexOf(shot.members[shot.leader].name);
    const CameraFile& leader = *members[lead];
    // The filters read the leader (the JPEG where there is one); its partners follow it.
    if (!PassesFilters(temps[lead], leader.listed)) {
      for (const CameraFile* c : members) a.m_memory.cameraLeft.insert(CameraKey(c->file));
      drop();
      return true;
    }
    const std::string partnerName = ShotDatePartner(shot);
    const std::string partnerTemp = partnerName.empty() ? partnerName : temps[indexOf(partnerName)];
    ShotDateAccess dates(temps[lead], leader.file.name, partnerTemp, partnerName);
    std::time_t captured = 0;
    if (!dates.ReadDateTime(temps[lead], captured)) captured = 0;
    std::vector<std::string> kinds;
    std::string moved;
    for (const std::string& name : all) {
      kinds.push_back(LowerCase(MemberNewName(shot, name, "")));
      moved += (moved.empty() ? "" : "|") + kinds.back();
    }
    const std::string sourceFolder = SplitPath(leader.listed).folder;
    // Only moves remember where their shots went: a copy's partner is copied where it stands.
    const ShotNames::Entry* earlier =
        move ? names.Find(sourceFolder, shot.key, captured, kinds, a.m_host->Now()) : nullptr;
    if (move && !earlier) values.m_iFileCounter += 1;
    NamingContext context = a.MakeNamingContext();
    context.listed = ListedPhoto{leader.listed, std::time_t(leader.file.stat.modTime),
                                 std::time_t(leader.file.stat.modTime)};
    context.exif = &dates;
    BriskoExifFields fields;
    a.ReadFields(temps[lead], fields);
    // The JPEG's own steps: a turned JPEG takes its shot into "Rotated/".
    bool rotated = false, hasJpeg = false;
    for (size_t i = 0; i < all.size() && !hasJpeg; ++i) {
      if (ShotKindOf(all[i]) != ShotFileKind::Jpeg) continue;
      rotated = TurnAndTag(temps[i], *members[i], fields);
      hasJpeg = true;
      if (rotated || (move && a.m_settings.m_bAddOrUpdateBriskoExif)) hashes[i] = {};  // a new file now
    }
    std::string destination;
    std::string base;
    if (earlier) {
      // A partner of a shot taken a moment ago: it joins that shot's name and folder.
      destination = earlier->folder;
      base = earlier->base;
      if (!PathExists(destination)) a.CreateFolderPath(destination);
    } else {
      destination = DestinationOf(leader.file, temps[lead], fields, context, rotated);
      base = StemOf(leader.file.name);
      if (move && a.m_settings.m_bRenameFile) {
        const std::string made =
            a.m_settings.m_RenameTemplate.GenerateNewName(temps[lead], a.m_pIdTxt, fields, false, context);
        if (!made.empty()) base = StemOf(made);
      }
    }
    std::string suffix;
    if (move && !a.m_settings.m_bOverwriteExistingFiles) {
      bool ok = true;
      suffix = SharedCollisionSuffix(
          shot, all, base,
          [&](const std::string& name) {
            return pendingTargets.count(destination + name) || PathExists(destination + name);
          },
          ok, 10000,
          [&](const std::string& b) { return !earlier && names.Reserved(destination, b, a.m_host->Now()); });
    }
    const int index = static_cast<int>(shotsPending.size());
    shotsPending.push_back(
        {leader.listed, {sourceFolder, shot.key, captured, destination, base + suffix, 0, moved}, {}, {}});
    // A partner joining its shot: the block went with the shot's first files.
    if (move && a.m_settings.m_bAddOrUpdateBriskoExif && !hasJpeg && !earlier) {
      CompleteFieldsForWrite(fields, leader.listed, a.m_pIdTxt, values.m_strBarcodeInputsArray,
                             values.m_strOperatorSelectedText,
                             BriskoExifCustomMap(a.m_settings.m_BriskoExifCustomActionFieldsMap));
      PendingShot& pending = shotsPending.back();
      pending.comment = fields.BuildBlock();
      pending.xmpTarget = destination + base + suffix + ".xmp";
      for (const std::string& name : all)
        if (EqualsNoCase(SplitPath(name).extension, ".xmp"))
          pending.xmpTarget = destination + MemberNewName(shot, name, base + suffix);
    }
    for (size_t i = 0; i < all.size(); ++i) {
      const CameraListing::File& f = members[i]->file;
      const std::string target = destination + MemberNewName(shot, all[i], base + suffix);
      if (!move && UpToDate(f, target)) {
        ::unlink(temps[i].c_str());
        a.m_memory.cameraCopies[CameraKey(f)] = target;
        continue;
      }
      pendingTargets.insert(target);
      batch.push_back({members[i], temps[i], target, f.stat.size, index});
      batch.back().hash = hashes[i];
      batchBytes += f.stat.size;
    }
    if (batch.size() >= kCameraBatchFiles || batchBytes >= kCameraBatchBytes) Commit();
    return true;
  }

  static std::string StemOf(const std::string& name) {
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  }
  static std::string LowerCase(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }

  void Commit() {
    const std::vector<PendingShot> shotsNow = std::exchange(shotsPending, {});
    if (batch.empty()) return;
    MoveBesideTargets();
    if (!FlushBatch()) return;
    CheckBatch(shotsNow);
    RememberShots(shotsNow);
    if (!move) {
      CameraMoveJournal none(a.GetTempFolder());
      std::vector<std::string> placed(batch.size());
      PlaceBatch(placed);
      SettleBatch(placed, none);
      return;
    }
    // A record holds no more than its readers take: a larger batch is recorded, placed and
    // settled a part at a time, each part's record complete on its own.
    std::vector<Pending> all = std::move(batch);
    CameraMoveRecord record;
    record.action = a.m_settings.m_strName;
    record.camera = m_source.Text();
    if (session) record.serial = session->Serial();
    for (const Pending& p : all) record.entries.push_back(EntryOf(p));
    const size_t empty = FormatCameraMoveRecord({}).size();
    auto bytesOf = [&](size_t i) {
      CameraMoveRecord one;
      one.entries = {record.entries[i]};
      return FormatCameraMoveRecord(one).size() - empty;
    };
    CameraMoveRecord head = record;
    head.entries.clear();
    head.together = !shotsNow.empty();
    // A shot is never split between two records: the runs are made of whole shots.
    std::vector<std::pair<size_t, size_t>> units;
    for (size_t i = 0; i < all.size(); ++i) {
      if (i > 0 && all[i].shot >= 0 && all[i].shot == all[i - 1].shot) {
        units.back().second = i + 1;
      } else {
        units.emplace_back(i, i + 1);
      }
    }
    auto unitBytes = [&](size_t u) {
      size_t bytes = 0;
      for (size_t i = units[u].first; i < units[u].second; ++i) bytes += bytesOf(i);
      return bytes;
    };
    for (const auto& [firstUnit, endUnit] : RunsWithin(units.size(), FormatCameraMoveRecord(head).size(),
                                                       RecordBound(kMaxCameraMoveRecordBytes), unitBytes)) {
      const size_t first = units[firstUnit].first, end = units[endUnit - 1].second;
      batch.assign(all.begin() + long(first), all.begin() + long(end));
      CameraMoveRecord part = head;
      part.entries.assign(record.entries.begin() + long(first), record.entries.begin() + long(end));
      CameraMoveJournal journal(a.GetTempFolder());
      if (!RecordBatch(journal, part)) continue;
      std::vector<std::string> placed(batch.size());
      PlaceBatch(placed);
      const std::vector<Pending> settled = batch;
      SettleBatch(placed, journal);
      TagSidecars(settled, placed, shotsNow);
      ConfirmShots(settled, placed, shotsNow);
    }
  }

  // What of the part's shots is in place counts as moved for late partners; the rest is to come.
  void ConfirmShots(const std::vector<Pending>& part, const std::vector<std::string>& placed,
                    const std::vector<PendingShot>& shots) {
    std::map<int, std::vector<std::string>> moved;
    for (size_t k = 0; k < part.size(); ++k) {
      if (part[k].shot < 0) continue;
      std::vector<std::string>& kinds = moved[part[k].shot];
      if (!placed[k].empty())
        kinds.push_back(ShotNames::KindOf(placed[k], shots[size_t(part[k].shot)].remembered.base));
    }
    for (const auto& [shot, kinds] : moved) names.Confirm(shots[size_t(shot)].remembered, kinds);
    if (!moved.empty()) names.Save(a.m_host->Now());
  }

  // A shot without a JPEG carries its BriskoExif block in its XMP sidecar (merged into the one it
  // brought, else a new one), written once its files are in place and its record is finished.
  void TagSidecars(const std::vector<Pending>& part, const std::vector<std::string>& placed,
                   const std::vector<PendingShot>& shots) {
    std::set<int> done;
    for (size_t k = 0; k < part.size(); ++k) {
      const int shot = part[k].shot;
      if (shot < 0 || placed[k].empty() || shots[size_t(shot)].xmpTarget.empty() || !done.insert(shot).second)
        continue;
      std::string why;
      if (WriteSidecarUserComment(shots[size_t(shot)].xmpTarget, shots[size_t(shot)].comment, &why))
        a.m_host->NotePhotoStep(PhotoStep::Tagged);
      else
        a.LogMessage("Not tagged: " + why + ": " + shots[size_t(shot)].xmpTarget);
    }
  }

  // The record of one download, once it is beside its target. Where it could not be copied
  // there, no inode number: recovery then compares the download's bytes with the copy in place.
  CameraMoveRecord::Entry EntryOf(const Pending& p) const {
    struct stat st {};
    const bool sameFs = ::stat(p.temp.c_str(), &st) == 0 && DeviceOf(SplitPath(p.target).folder) == st.st_dev;
    CameraMoveRecord::Entry entry{p.from->file.folder,
                                  p.from->file.name,
                                  p.from->file.stat.size,
                                  p.from->file.stat.modTime,
                                  p.target,
                                  p.temp,
                                  sameFs ? uint64_t(st.st_ino) : 0,
                                  uint64_t(st.st_size)};
    // A shot is finished whole after a crash, as the record of a card's shots: no hash for it.
    if (p.checked && p.shot < 0) entry.hash = p.hash;
    return entry;
  }

  // A download made in the temp folder on another file system is copied beside its target
  // first: placed by a rename, its copy keeps the inode number the record names, and recovery
  // never has to take a file at the target for it on its size.
  void MoveBesideTargets() {
    for (Pending& p : batch) {
      const std::string folder = SplitPath(p.target).folder;
      if (DeviceOf(p.temp) == DeviceOf(folder)) continue;
      const std::string beside = HiddenDownloadName(folder);
      int err = 0;
      if (CopyFile(p.temp, beside, Collision::Fail, nullptr, &err)) {
        ::unlink(p.temp.c_str());
        p.temp = beside;
      }
    }
  }

  bool FlushBatch() {
    std::vector<std::string> temps;
    for (const Pending& p : batch) temps.push_back(p.temp);
    const int flushErr = FlushFileSystems(temps);
    if (flushErr != 0) {
      for (const Pending& p : batch) {
        ::unlink(p.temp.c_str());
        a.LogMessage((move ? "Failed: Move file from " : "FAILED: Copy file ") + p.from->listed +
                     (move ? " to " : " to ") + p.target);
        a.LogMessage(ErrnoText(flushErr));
      }
      batch.clear();
      batchBytes = 0;
      pendingTargets.clear();
      result = false;
      return false;
    }
    return true;
  }

  // Checked copies: each flushed download is read back from the disk and compared with the bytes
  // as they were written. One that differs is downloaded once more; when that differs too, the
  // photo stays on the camera.
  // A file of a shot that fails takes its whole shot off the batch: the shot stays whole on the
  // camera.
  void CheckBatch(const std::vector<PendingShot>& shots) {
    if (!check) return;
    std::set<int> failedShots;
    for (Pending& p : batch) {
      ContentHash back;
      if (!p.hash.set || (HashFromDisk(p.temp, back) == 0 && back == p.hash)) {
        p.checked = p.hash.set;
        continue;
      }
      ::unlink(p.temp.c_str());
      if (!DownloadAgain(p)) {
        p.temp.clear();
        if (p.shot >= 0) failedShots.insert(p.shot);
      }
    }
    std::vector<Pending> kept;
    for (Pending& p : batch) {
      if (!p.temp.empty() && !failedShots.count(p.shot)) {
        kept.push_back(std::move(p));
        continue;
      }
      if (!p.temp.empty()) ::unlink(p.temp.c_str());
      pendingTargets.erase(p.target);
      batchBytes -= p.size;
    }
    batch = std::move(kept);
    for (const int shot : failedShots) {
      a.LogMessage((move ? "FAILED: Move shot " : "FAILED: Copy shot ") + shots[size_t(shot)].leader +
                   ": a copy read back from the disk differed twice; it stays whole on the camera");
      result = false;
    }
  }

  bool DownloadAgain(Pending& p) {
    if (lost || !session) return false;  // the camera's loss said so; the photo stays on it
    std::string temp;
    ContentHash hash;
    const std::string folder = SplitPath(p.temp).folder;
    if (Download(*p.from, temp, &hash, &folder) != Got::Ok) return false;  // logged there
    // Flushed on its own: a copy made twice is rare.
    const int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    const bool flushed = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    ContentHash back;
    if (flushed && HashFromDisk(temp, back) == 0 && back == hash) {
      p.temp = temp;
      p.hash = hash;
      p.checked = true;
      return true;
    }
    ::unlink(temp.c_str());
    // A shot's file fails with its shot, in one line for the shot.
    if (p.shot < 0) {
      a.LogMessage(CheckFailedLine(move ? MoveFailedLine(p.from->listed, p.target)
                                        : "FAILED: Copy file " + p.from->listed + " to " + p.target));
    }
    result = false;
    return false;
  }

  bool RecordBatch(CameraMoveJournal& journal, const CameraMoveRecord& record) {
    int err = 0;
    if (!journal.Write(record, &err)) {
      // Without the record a crash could double every photo of the batch: none is placed.
      for (const Pending& p : batch) {
        ::unlink(p.temp.c_str());
        a.LogMessage(MoveFailedLine(p.from->listed, p.target));
      }
      a.LogMessage("FAILED: Write move record: " + ErrnoText(err));
      batch.clear();
      batchBytes = 0;
      pendingTargets.clear();
      result = false;
      return false;
    }
    MoveJournal::Reached("camera batch recorded");
    return true;
  }

  void PlaceBatch(std::vector<std::string>& placed) {
    // Placed: renamed (or, from another file system, copied) under the final name.
    ++values.g_nShellOperationDepth;
    for (size_t k = 0; k < batch.size(); ++k) {
      const Pending& p = batch[k];
      const bool replace = !move || a.m_settings.m_bOverwriteExistingFiles;
      int err = 0;
      if (::renameat2(AT_FDCWD, p.temp.c_str(), AT_FDCWD, p.target.c_str(), replace ? 0 : RENAME_NOREPLACE) !=
          0)
        err = errno;
      if (err == EXDEV) {
        err = 0;
        // The download stays until the photo is deleted on the camera: it is what proves the
        // copy in place to be this photo.
        if (!CopyFile(p.temp, p.target, replace ? Collision::Replace : Collision::Fail, nullptr, &err)) {
          if (err == 0) err = EIO;
        } else if (!move) {
          ::unlink(p.temp.c_str());
        }
      }
      if (err != 0) {
        ::unlink(p.temp.c_str());
        if (move) {
          a.LogMessage(MoveFailedLine(p.from->listed, p.target));
        } else {
          a.LogMessage("FAILED: Copy file " + p.from->listed + " to " + p.target);
        }
        a.LogMessage(ErrnoText(err));
        result = false;
        continue;
      }
      placed[k] = p.target;
      if (p.shot >= 0) MoveJournal::Reached("camera shot file placed");
    }
    if (move) TakeBackPartShots(placed);
    std::set<std::string> folders;
    for (const std::string& path : placed) {
      if (!path.empty() && folders.insert(SplitPath(path).folder).second) SyncFolderHolding(path);
    }
    --values.g_nShellOperationDepth;
  }

  // Where the shot goes is on disk before any of it is placed: a partner arriving after a crash
  // still finds its shot.
  void RememberShots(const std::vector<PendingShot>& shots) {
    std::set<int> queued;
    for (const Pending& p : batch)
      if (move && p.shot >= 0) queued.insert(p.shot);
    const int64_t now = a.m_host->Now();
    for (int i = 0; i < static_cast<int>(shots.size()); ++i)
      if (queued.count(i)) names.Remember(shots[size_t(i)].remembered, now);
    if (!queued.empty()) names.Save(now);
    shotLeaders.clear();
    for (const PendingShot& shot : shots) shotLeaders.push_back(shot.leader);
  }

  // A shot is in place whole or not at all: where one of its files could not be placed, the
  // copies of the others go again (their photos are still on the camera) and the shot stays
  // whole on the camera for the next pass.
  void TakeBackPartShots(std::vector<std::string>& placed) {
    std::set<int> failed;
    for (size_t k = 0; k < batch.size(); ++k)
      if (batch[k].shot >= 0 && placed[k].empty()) failed.insert(batch[k].shot);
    for (size_t k = 0; k < batch.size(); ++k) {
      if (placed[k].empty() || !failed.count(batch[k].shot)) continue;
      ::unlink(placed[k].c_str());
      if (batch[k].temp != placed[k]) ::unlink(batch[k].temp.c_str());
      placed[k].clear();
    }
    for (const int shot : failed) {
      a.LogMessage("FAILED: Move shot " + shotLeaders[size_t(shot)] + ": it stays whole on the camera");
      result = false;
    }
  }

  void SettleBatch(const std::vector<std::string>& placed, CameraMoveJournal& journal) {
    MoveJournal::Reached("camera batch placed");
    bool keepRecord = false;
    std::vector<std::string> held;
    std::vector<CameraMoveRecord::Entry> kept;
    for (size_t k = 0; k < batch.size(); ++k) {
      if (placed[k].empty()) continue;
      const CameraFile& from = *batch[k].from;
      if (!move) {
        a.m_memory.cameraCopies[CameraKey(from.file)] = placed[k];
        if (a.m_settings.m_bUseExternalExe) a.RunExternalApplication(placed[k]);
        a.LogMessage("Copied file " + from.listed + " to " + placed[k] + CheckedMark(batch[k].checked));
        continue;
      }
      a.ApplyFileAttributes(placed[k]);
      CameraStatus deleted = session && !lost
                                 ? session->Delete(from.file.folder, from.file.name, pump)
                                 : CameraStatus::Make(CameraStatus::Kind::Gone, "the camera is gone");
      // Not there while the camera is: taken off it meanwhile, so this copy is the only one.
      bool stays = false;
      if (deleted.Ok() || (deleted.kind == CameraStatus::Kind::NotFound && pool.Present(m_source))) {
        Forget(from.file);
        if (batch[k].temp != placed[k]) ::unlink(batch[k].temp.c_str());
      } else if (IsLoss(deleted) || !pool.Present(m_source)) {
        // The record stays: the next pass with the camera there deletes what was copied, and
        // until then no action takes the copy on (the photo would be moved twice).
        keepRecord = true;
        held.push_back(placed[k]);
        if (!lost) LoseCamera(deleted, from.listed);
      } else {
        // A camera that refuses deletes keeps the photo; it is not taken again, after a
        // restart too.
        stays = true;
        a.m_memory.cameraLeft.insert(CameraKey(from.file));
        kept.push_back({from.file.folder, from.file.name, from.file.stat.size, from.file.stat.modTime,
                        placed[k], std::string(), 0, 0});
        if (batch[k].temp != placed[k]) ::unlink(batch[k].temp.c_str());
        a.LogMessage("FAILED: Delete on the camera " + from.listed + " (" + deleted.text + "); its copy is " +
                     placed[k]);
      }
      if (a.m_settings.m_bUseExternalExe) a.RunExternalApplication(placed[k]);
      if (keepRecord && lost) {
        a.LogMessage("Copied file " + from.listed + " to " + placed[k] +
                     " (deleted on the camera once it is back)");
      } else if (stays) {
        a.LogMessage("Copied file " + from.listed + " to " + placed[k] + " (it stays on the camera)");
      } else {
        a.LogMessage("Moved file from " + from.listed + " to " + placed[k] + CheckedMark(batch[k].checked));
      }
    }
    if (!kept.empty()) {
      const std::vector<CameraListing::File>& all = pool.Listing(m_source).files;
      auto stillThere = [&all](const CameraMoveRecord::Entry& e) {
        for (const CameraListing::File& f : all) {
          if (f.folder == e.folder && f.name == e.name) return true;
        }
        return false;
      };
      // Without it, a restart would copy these photos again: the record of the move stays.
      if (!NoteKeptOnCamera(a.GetTempFolder(), a.m_settings.m_strName, m_source.Text(), kept, stillThere))
        keepRecord = true;
    }
    MoveJournal::Reached("camera sources deleted");
    if (keepRecord) {
      journal.Keep(std::move(held));
    } else {
      journal.Remove();
    }
    batch.clear();
    batchBytes = 0;
    pendingTargets.clear();
  }

  void Forget(const CameraListing::File& f) {
    std::vector<CameraListing::File>& all = pool.Listing(m_source).files;
    for (auto it = all.begin(); it != all.end(); ++it) {
      if (it->folder == f.folder && it->name == f.name) {
        all.erase(it);
        break;
      }
    }
  }

  void LoseCamera(const CameraStatus& status, const std::string& listed) {
    lost = true;
    pool.Lost(m_source, [&](const std::string& line) {
      a.m_host->AddToLog(line + " (" + status.text + "; " + listed + " stays on the camera)");
    });
    session = nullptr;
  }

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

bool ActionRun::CameraCopyOrMove(const CameraSource& source, CameraSession*& session,
                                 std::vector<CameraFile>& files) {
  return CameraRun(*this, source, session).Run(files);
}

}  // namespace brisko
