#pragma once
// Helpers a run uses around its file operations: the photo as it was listed, the temp folder
// check and the wait for an external program.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/base/run_host.h"
#include "naming/naming_inputs.h"
#include "support/path_util.h"

namespace brisko {

// printf-style "%s" substitution that never re-reads what it inserted (paths may hold "%").
std::string FormatS(std::string_view format, std::initializer_list<std::string_view> args);
// A log line with its "%s" slots filled by the texts (paths, mostly) in turn.
inline std::string FillIn(std::string_view format, const std::string& a, const std::string& b) {
  return FormatS(format, {a, b});
}
inline std::string FillIn(std::string_view format, const std::string& a, const std::string& b,
                          const std::string& c) {
  return FormatS(format, {a, b, c});
}

// The line of a move that failed, its photo where it was.
inline std::string MoveFailedLine(const std::string& from, const std::string& to) {
  return FormatS("Failed (CopyOrMoveFilesUsingShell): Move file from %s to %s", {from, to});
}

// What a checked copy's line says after the usual text.
inline constexpr std::string_view kCheckedMark = " (checked)";
inline std::string CheckedMark(bool checked) {
  return checked ? std::string(kCheckedMark) : std::string();
}
// The one line of a photo whose copy read back differently twice: it stays at its source.
inline std::string CheckFailedLine(const std::string& failedLine) {
  return failedLine + ": its copy read back from the disk differed twice; the photo stays at its source";
}

// Whether a rename from one folder into another cannot work (the copy then goes through a
// batch). Folders are looked up once per run of equal ones: a wrong guess costs only speed,
// since a rename across file systems falls back to a copy and a copy works anywhere.
class FileSystemTest {
 public:
  bool Crosses(const std::string& path, const std::string& folder) {
    const uint64_t from = Device(m_from, SplitPath(path).folder);
    const uint64_t to = Device(m_to, folder);
    return from != 0 && to != 0 && from != to;
  }

 private:
  struct Known {
    std::string folder;
    uint64_t device = 0;
  };
  static uint64_t Device(Known& known, const std::string& folder) {
    if (known.folder != folder || known.device == 0) {
      struct stat st {};
      known.folder = folder;
      known.device = ::stat(folder.c_str(), &st) == 0 ? st.st_dev + 1 : 0;  // 0: unknown
    }
    return known.device;
  }
  Known m_from, m_to;
};

// The folders a pass copies into: each made (or found) once per pass, and each one's names
// read once it takes more than a few copies, so that a copy's target name is looked at only
// where a file of that name was there. What it knows may be old: a name it says is free is
// placed without replacing (CopyBatch::AddIfNewer), and a folder removed meanwhile is made
// again where its copy is made (CopyBatch::SetMakesFolders).
class TargetFolders {
 public:
  // Makes `folder` and its parents unless this pass made or found it already.
  bool Make(const std::string& folder, int* err = nullptr);
  // False when `folder` held no entry `name` as this pass knows it (the pass made the folder,
  // or listed it); true when one was there, or the folder was not listed.
  bool MayHold(const std::string& folder, const std::string& name);
  // Looks into a folder, one name at a time, before its listing is read.
  static constexpr int kLooksBeforeListing = 32;

 private:
  struct Known {
    bool made = false;  // by this pass: only its own copies are there
    bool listed = false;
    bool unlisted = false;  // its listing failed: every name is looked at
    int looks = 0;
    std::vector<std::string> names;  // sorted
  };
  std::unordered_map<std::string, Known> m_folders;
};

// The listed photo's path and times, read before any step moves it; none when its status
// cannot be read.
std::optional<ListedPhoto> ListedPhotoOf(const std::string& path);
// Gives a copy the station made for its own steps (rotation, BriskoExif) the listed photo's
// modification time, as a plain copy keeps it. False when it cannot be set.
bool KeepListedTime(const std::string& copy, const ListedPhoto& listed);

// Why a photo's JPEG/EXIF data could not be read, in words for the log.
std::string WhyNotJpeg(const std::string& path);

// The temp folder to use and, when it is not the usual one, why: `configured` when it can be
// made and written, else `builtIn`; when the folder found is not writable (made by another
// user, read-only), a folder of this user beside it ("<folder>-<uid>/", mode 0700). The folder
// ends in one "/".
struct TempFolderChoice {
  std::string folder;
  std::string note;  // one action log line, or "" when all is well
};
TempFolderChoice ChooseTempFolder(const std::string& configured, const std::string& builtIn);
// ChooseTempFolder on the station's values; its note goes to the action log once for as long
// as it stays the same.
std::string ResolveTempFolder(RunHost& host);

// How the wait for an external program ended.
struct ProgramEnd {
  enum Kind { Exited, Signalled, StoppedWaiting, TimedOut, Lost } kind = Lost;
  int code = 0;  // exit status or signal number
};
// Waits for the child `pid` without blocking the station: the host's events are dispatched
// meanwhile (so the window stays alive and signals are seen), and the wait ends early when
// the host asks to stop waiting; the program is then left running. The host hears of the wait
// (`what`) at its start and end. With a time limit, a program still running after it (by the
// host's clock) is ended: SIGTERM, and SIGKILL when that is not enough.
ProgramEnd WaitForProgram(pid_t pid, RunHost& host, const ProgramWait& what);
// The log line: `applied` ("Applied executible ... to file ...") for a clean exit, otherwise
// "Failed: " + applied + why (exit status, signal, stopped waiting, time limit).
std::string ProgramEndLine(const ProgramEnd& end, const std::string& applied, pid_t pid, int timeLimit = 0);

// Where a move by the collision rule may have put a copy of `file` aimed at `target` (the name
// itself, else "name (n).ext"): the name holding the same bytes, "" when none does.
std::string PlacedCopyOf(const std::string& target, const std::string& file);

}  // namespace brisko
