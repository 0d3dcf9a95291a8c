#pragma once
// Turning JPEG photos upright from their EXIF orientation with the lossless transform, and the
// landscape test of the orientation filter.
#include <functional>
#include <string>
#include <vector>

namespace brisko {

// Writes an upright copy of source (orientation 6 or 8) to destination: pixels turned by the
// lossless transform (partial edge blocks trimmed), EXIF carried over with orientation 1, the pixel
// dimensions of the new frame and a thumbnail turned the same way. False, and no destination,
// when the source can't be parsed, needs no rotation or can't be transformed.
// Data after the picture (a second picture, a motion photo's video) is kept, and an MP index is
// updated to point at it; a photo whose index cannot be kept valid is refused. `why` receives the
// reason of a failure, `warning` a harmless libjpeg warning the photo was rotated despite.
bool AutoRotateJpeg(const std::string& tempFolder, const std::string& sourcePath,
                    const std::string& destinationPath, std::string* why = nullptr,
                    std::string* warning = nullptr);

// Why a photo that needs rotation must stay unrotated ("" when it can be rotated).
std::string RotationRefusal(const std::string& path);

// Returns whether it could decide: a ".jpg"/".jpeg" file whose frame size can be read.
// Square counts as portrait; the EXIF orientation is not consulted.
bool IsJpegLandscape(const std::string& path, bool& landscape);

// The rotation step of moving a file, for the engine.
struct RotateLogLine {
  enum class Target { Logger, ActionLog };
  Target target;
  int level;  // logger level; action log lines are level 2
  // "Move to temp for rotate failed", "Rotate failed", "Rotated <path>", "Left unrotated: ...",
  // "Not rotated: ...", "Rotated despite a JPEG warning: ..."
  std::string text;
  std::string path;  // the file the line is about
};

enum class RotateOnMoveOutcome { NotNeeded, Rotated, MoveToTempFailed, RotateFailed, Refused };

struct RotateOnMoveResult {
  RotateOnMoveOutcome outcome = RotateOnMoveOutcome::NotNeeded;
  // Where the file is now and what the move step must move on: the source when nothing was done,
  // the rotation was refused or the move to temp failed, else the file in the temp folder (rotated or, after
  // a failed rotation, the unrotated original).
  std::string currentPath;
  std::vector<RotateLogLine> lines;
};

struct RotateOnMoveOps {
  // A free name for the wanted path ("name (2).ext" on collision). Default: our own.
  std::function<std::string(const std::string&)> makeUniqueFileName;
  // Moves a file (across file systems as well). Default: rename, else copy + fsync + delete.
  std::function<bool(const std::string& from, const std::string& to)> moveFile;
};

// tempFolder: the run's temporary folder (created by the caller). When the outcome is Rotated and
// the action puts rotated files into a subfolder, the caller appends "Rotated/" to the destination.
RotateOnMoveResult RotateOnMove(const std::string& tempFolder, const std::string& sourcePath,
                                const RotateOnMoveOps& ops = {});

}  // namespace brisko
