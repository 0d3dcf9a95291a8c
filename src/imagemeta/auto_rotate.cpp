#include "imagemeta/auto_rotate.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "imagemeta/jpeg_exif_file.h"
#include "imaging/jpeg_transform.h"
#include "support/file_ops.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

std::string WithSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LowerExtension(const std::string& path) {
  std::string name = BaseName(path);
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return {};
  std::string ext = name.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Creates the rotator's temporary file exclusively; a leftover of the same second gets a suffix.
int CreateRotatorTemp(const std::string& tempFolder, std::string& path) {
  const long now = static_cast<long>(std::time(nullptr));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    if (attempt == 0)
      std::snprintf(name, sizeof name, "ExifRotatorTemp_%ld.jpg_temp", now);
    else
      std::snprintf(name, sizeof name, "ExifRotatorTemp_%ld_%d.jpg_temp", now, attempt);
    path = WithSlash(tempFolder) + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::string DefaultUniqueName(const std::string& wanted) {
  struct stat st {};
  if (lstat(wanted.c_str(), &st) != 0) return wanted;
  size_t slash = wanted.find_last_of('/');
  size_t dot = wanted.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = wanted.size();
  for (int n = 2;; ++n) {
    std::string candidate = wanted.substr(0, dot) + " (" + std::to_string(n) + ")" + wanted.substr(dot);
    if (lstat(candidate.c_str(), &st) != 0) return candidate;
  }
}

// The file layer's move: never over an existing name, and a source that cannot be deleted
// (write-protected card) takes its copy back instead of leaving the photo twice.
bool DefaultMove(const std::string& from, const std::string& to) {
  return MoveFile(from, to, Collision::Fail);
}

}  // namespace

namespace {

void SetText(std::string* out, const std::string& text) {
  if (out) *out = text;
}

}  // namespace

bool AutoRotateJpeg(const std::string& tempFolder, const std::string& sourcePath,
                    const std::string& destinationPath, std::string* why, std::string* warning) {
  JpegExifFile source;
  uint16_t orientation = 0;
  if (!source.Parse(sourcePath) || !source.GetOrientation(orientation)) return false;
  if (orientation != 6 && orientation != 8) return false;
  const auto code = orientation == 6 ? JpegTransformCode::Rotate90 : JpegTransformCode::Rotate270;

  std::vector<uint8_t> original, rotated;
  if (!ReadWholeFile(sourcePath, original)) return false;
  // Only the first picture is turned; what follows its EOI is carried over unchanged.
  const auto end = FindJpegImageEnd(original.data(), original.size(), source.sosPosition);
  if (!end) {
    SetText(why, "its picture has no end marker");
    return false;
  }
  JpegTrailer trailer;
  trailer.offset = *end + 2;
  trailer.length = original.size() - trailer.offset;
  if (trailer.length > 0) {
    trailer.path = sourcePath;
    trailer.mpHeader = source.MultiPictureHeaderPosition();
    if (trailer.mpHeader) {
      std::string refusal = CheckMultiPictureIndex(original, *end);
      if (!refusal.empty()) {
        SetText(why, refusal);
        return false;
      }
    }
  }
  std::string error;
  if (!JpegLosslessTransform(original.data(), trailer.offset, code, rotated, &error, warning)) {
    DebugTrace("Lossless transform failed: " + sourcePath);
    SetText(why, error);
    return false;
  }
  std::string tempPath;
  int fd = CreateRotatorTemp(tempFolder, tempPath);
  if (fd < 0) return false;
  // Locked while it is in use: a sweep takes a scratch whose lock is free for an abandoned one.
  flock(fd, LOCK_EX | LOCK_NB);
  bool written = WriteAll(fd, rotated.data(), rotated.size());
  bool ok = false;
  if (written) {
    ok = ReplicateExif(
        sourcePath, tempPath, destinationPath, 1,
        orientation == 6 ? JpegExifFile::ThumbnailPolicy::Rotate90 : JpegExifFile::ThumbnailPolicy::Rotate270,
        trailer);
  }
  unlink(tempPath.c_str());
  close(fd);
  if (ok) GrantEveryoneAccess(destinationPath);  // a failure here is ignored
  return ok;
}

std::string RotationRefusal(const std::string& path) {
  JpegExifFile f;
  if (!f.Parse(path) || !f.MultiPictureHeaderPosition()) return {};
  std::vector<uint8_t> file;
  if (!ReadWholeFile(path, file)) return {};
  const auto end = FindJpegImageEnd(file.data(), file.size(), f.sosPosition);
  if (!end) return "its picture has no end marker";
  return CheckMultiPictureIndex(file, *end);
}

bool IsJpegLandscape(const std::string& path, bool& landscape) {
  std::string ext = LowerExtension(path);
  if (ext != ".jpg" && ext != ".jpeg") return false;
  JpegExifFile f;
  if (!f.Parse(path)) return false;
  // Any frame type counts (a progressive photo has a size too); no frame size, no decision.
  if (f.frameWidth == 0 || f.frameHeight == 0) return false;
  landscape = f.frameWidth > f.frameHeight;
  return true;
}

RotateOnMoveResult RotateOnMove(const std::string& tempFolder, const std::string& sourcePath,
                                const RotateOnMoveOps& ops) {
  RotateOnMoveResult result;
  result.currentPath = sourcePath;
  if (!JpegNeedsRotation(sourcePath)) return result;
  // Refused before anything moves: the photo goes on unrotated from where it is.
  if (std::string refusal = RotationRefusal(sourcePath); !refusal.empty()) {
    result.outcome = RotateOnMoveOutcome::Refused;
    result.lines.push_back(
        {RotateLogLine::Target::ActionLog, 2, "Left unrotated: " + refusal + ": " + sourcePath, sourcePath});
    return result;
  }
  auto unique = ops.makeUniqueFileName ? ops.makeUniqueFileName : DefaultUniqueName;
  auto move = ops.moveFile ? ops.moveFile : DefaultMove;

  const std::string folder = WithSlash(tempFolder);
  const std::string moved = unique(folder + BaseName(sourcePath));
  if (!move(sourcePath, moved)) {
    result.outcome = RotateOnMoveOutcome::MoveToTempFailed;
    result.lines.push_back({RotateLogLine::Target::Logger, 4, "Move to temp for rotate failed", sourcePath});
    return result;
  }
  result.currentPath = moved;
  const std::string rotated = unique(folder + BaseName(sourcePath));
  // The rotated file replaces the unrotated copy in one rename, so one of them always exists.
  std::string why, warning;
  if (AutoRotateJpeg(folder, moved, rotated, &why, &warning) && rename(rotated.c_str(), moved.c_str()) == 0) {
    result.outcome = RotateOnMoveOutcome::Rotated;
    result.lines.push_back({RotateLogLine::Target::ActionLog, 2, "Rotated " + sourcePath, sourcePath});
    if (!warning.empty())
      result.lines.push_back(
          {RotateLogLine::Target::Logger, 3, "Rotated despite a JPEG warning: " + warning, sourcePath});
    return result;
  }
  unlink(rotated.c_str());
  result.outcome = RotateOnMoveOutcome::RotateFailed;
  result.lines.push_back({RotateLogLine::Target::Logger, 4, "Rotate failed", moved});
  if (!why.empty())
    result.lines.push_back(
        {RotateLogLine::Target::ActionLog, 2, "Not rotated: " + why + ": " + sourcePath, moved});
  return result;
}

}  // namespace brisko
