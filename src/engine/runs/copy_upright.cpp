// Copies turned upright. The photo at the source is never touched: only the copy this pass just
// placed is replaced, by a turned one written and flushed under a hidden name beside it.
#include <cerrno>
#include <cstdio>

#include "engine/base/record_file.h"
#include "engine/runs/action_run.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

void ActionRun::TurnCopyUpright(const std::string& copy) {
  const PathParts parts = SplitPath(copy);
  std::string extension = parts.extension;
  for (char& c : extension) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if ((extension != ".jpg" && extension != ".jpeg") || !JpegNeedsRotation(copy)) return;
  FileInfo status;
  if (!GetFileStatus(copy, status)) return;
  if (const std::string refusal = RotationRefusal(copy); !refusal.empty()) {
    LogMessage("Not rotated: " + copy + ": " + refusal);
    return;
  }
  const std::string turned = HiddenTempName(parts.folder, "turn");
  std::string why, warning;
  if (!AutoRotateJpeg(GetTempFolder(), copy, turned, &why, &warning)) {
    std::remove(turned.c_str());
    LogMessage("Not rotated: " + copy + (why.empty() ? "" : ": " + why));
    return;
  }
  // As a rotated move: the photo keeps its time, so the next pass finds the copy up to date.
  FileInfo turnedStatus;
  if (GetFileStatus(turned, turnedStatus)) {
    turnedStatus.modTime = status.modTime;
    turnedStatus.readOnly = status.readOnly;
    SetFileStatus(turned, turnedStatus);
  }
  if (std::rename(turned.c_str(), copy.c_str()) != 0) {
    std::remove(turned.c_str());
    LogMessage("Not rotated: " + copy + ": " + ErrnoText(errno));
    return;
  }
  SyncFolderHolding(copy);
  if (!warning.empty()) LogMessage("Rotated despite a JPEG warning: " + copy + ": " + warning);
  m_host->NotePhotoStep(PhotoStep::Rotated);
}

}  // namespace brisko
