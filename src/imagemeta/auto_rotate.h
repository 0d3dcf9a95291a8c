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
bool AutoRotateJpeg(const std::string& tempFolder, const std::string& sourcePath,
                    const std::string& destinationPath);

// Read and write for owner, group and others (our mapping of "Everyone: full access").
bool GrantEveryoneAccess(const std::string& path);

// Returns whether it could decide: a ".jpg"/".jpeg" file whose frame size can be read.
// Square counts as portrait; the EXIF orientation is not consulted.
bool IsJpegLandscape(const std::string& path, bool& landscape);

// The rotation step of moving a file, for the engine.
struct RotateLogLine {
  enum class Target { Logger, ActionLog };
  Target target;
  int level;         // logger level; action log lines are level 2
  std::string text;  // "Move to temp for rotate failed", "Rotate failed", "Rotated <path>"
  std::string path;  // the file the line is about
};

enum class RotateOnMoveOutcome { NotNeeded, Rotated, MoveToTempFailed, RotateFailed };

struct RotateOnMoveResult {
  RotateOnMoveOutcome outcome = RotateOnMoveOutcome::NotNeeded;
  // Where the file is now and what the move step must move on: the source when nothing was done
  // or the move to temp failed, else the file in the temp folder (rotated or, after a failed
  // rotation, the unrotated original).
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
