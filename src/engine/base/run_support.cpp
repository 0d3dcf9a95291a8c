#include "engine/base/run_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "support/file_identity.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"
#include "support/path_util.h"

namespace brisko {

namespace {

// How long one sleep of the wait may last before events are dispatched again.
constexpr int kWaitSliceMs = 50;

bool IsWritableFolder(const std::string& folder) {
  return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// A folder only this user can enter. One that already exists must be a real folder (not a
// link someone planted in a shared parent) owned by this user.
bool MakePrivateFolder(const std::string& folder, int* err) {
  const std::string path = TrimTrailingSeparators(folder);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *err = errno;
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    *err = errno;
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    *err = EACCES;
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    *err = errno;
    return false;
  }
  if (!IsWritableFolder(path)) {
    *err = errno;
    return false;
  }
  return true;
}

// Makes a missing temp folder private to its user: photos wait there before they are placed.
// The folders above it are made as usual; a folder that exists is left as it is.
bool CreateTempFolder(const std::string& folder) {
  const std::string path = TrimTrailingSeparators(folder);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t cut = path.rfind('/');
  if (cut != std::string::npos && cut > 0 && !CreateFolderPath(path.substr(0, cut))) return false;
  return (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) && ::stat(path.c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

}  // namespace

std::string FormatS(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next != args.end()) {
      out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

bool TargetFolders::Make(const std::string& folder, int* err) {
  if (m_folders.count(folder)) return true;
  struct stat st {};
  const std::string path = TrimTrailingSeparators(folder);
  if (::stat(path.empty() ? "." : path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      if (err) *err = ENOTDIR;
      return false;
    }
    m_folders.emplace(folder, Known{});
    return true;
  }
  const bool missing = errno == ENOENT;
  if (!CreateFolderPath(folder, err)) return false;
  // Made now: another process may have made it at the same moment, which the placing without
  // replacing covers.
  Known known;
  known.made = missing;
  m_folders.emplace(folder, std::move(known));
  return true;
}

bool TargetFolders::MayHold(const std::string& folder, const std::string& name) {
  Known& known = m_folders[folder];
  if (known.made) return false;
  if (!known.listed) {
    // A pass that copies a few files into a large folder looks at them one by one.
    if (++known.looks <= kLooksBeforeListing) return true;
    known.listed = true;
    const std::string path = TrimTrailingSeparators(folder);
    known.unlisted = !ListNames(path.empty() ? "." : path, known.names);
    if (known.unlisted) known.names.clear();
    std::sort(known.names.begin(), known.names.end());
  }
  return known.unlisted || std::binary_search(known.names.begin(), known.names.end(), name);
}

std::optional<ListedPhoto> ListedPhotoOf(const std::string& path) {
  FileInfo info;
  if (!GetFileStatus(path, info)) return std::nullopt;
  return ListedPhoto{path, static_cast<std::time_t>(info.modTime), static_cast<std::time_t>(info.createTime)};
}

bool KeepListedTime(const std::string& copy, const ListedPhoto& listed) {
  return SetFileTimes(copy, listed.modTime, kKeepTime);
}

std::string WhyNotJpeg(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return ErrnoText(errno);
  unsigned char head[2] = {0, 0};
  const size_t n = std::fread(head, 1, 2, f);
  std::fclose(f);
  if (n == 0) return "the file is empty";
  if (n < 2 || head[0] != 0xFF || head[1] != 0xD8) return "not a JPEG file (no JPEG start marker)";
  return "its JPEG data is damaged or cut short";
}

TempFolderChoice ChooseTempFolder(const std::string& configured, const std::string& builtIn) {
  std::string folder = configured;
  if (folder.empty() || !CreateTempFolder(folder)) {
    folder = builtIn;
    CreateTempFolder(folder);
  }
  folder = WithTrailingSeparator(folder);
  if (IsWritableFolder(folder)) return {folder, ""};
  const std::string own = TrimTrailingSeparators(folder) + "-" + std::to_string(::geteuid()) + "/";
  int err = 0;
  if (MakePrivateFolder(own, &err)) return {own, "Temp folder " + folder + " is not writable; using " + own};
  return {folder, "FAILED: Temp folder " + folder + " is not writable and " + own +
                      " cannot be used: " + ErrnoText(err)};
}

std::string ResolveTempFolder(RunHost& host) {
  StationValues& values = host.Values();
  TempFolderChoice choice = ChooseTempFolder(values.m_TempPath, values.m_BuiltInTempPath);
  if (choice.note != values.m_tempFolderNote) {
    values.m_tempFolderNote = choice.note;
    if (!choice.note.empty()) host.AddToLog(choice.note);
  }
  return choice.folder;
}

namespace {

// Ends a program that outlived its time limit; true once it is reaped.
bool EndProgram(pid_t pid, int pidfd, int* status) {
  ::kill(pid, SIGTERM);
  // A few seconds to tidy up, then it is killed.
  for (int signal : {SIGTERM, SIGKILL}) {
    if (signal == SIGKILL) ::kill(pid, SIGKILL);
    for (int slice = 0; slice < 50; ++slice) {
      const pid_t done = ::waitpid(pid, status, WNOHANG);
      if (done == pid) return true;
      if (done < 0 && errno != EINTR) return false;
      if (pidfd >= 0) {
        pollfd fd{pidfd, POLLIN, 0};
        ::poll(&fd, 1, 100);
      } else {
        ::poll(nullptr, 0, 100);
      }
    }
  }
  return false;
}

}  // namespace

ProgramEnd WaitForProgram(pid_t pid, RunHost& host, const ProgramWait& what) {
  // A pidfd turns "the program ended" into something poll() can sleep on.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const std::time_t deadline = what.timeLimit > 0 ? host.Now() + what.timeLimit : 0;
  host.OnProgramWait(&what);
  ProgramEnd end;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      end.kind = WIFSIGNALED(status) ? ProgramEnd::Signalled : ProgramEnd::Exited;
      end.code = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
      break;
    }
    if (done < 0 && errno != EINTR) break;  // not our child any more: nothing to wait for
    if (host.StopWaitingForProgram()) {
      end.kind = ProgramEnd::StoppedWaiting;
      break;
    }
    if (deadline && host.Now() >= deadline) {
      end.kind = EndProgram(pid, pidfd, &status) ? ProgramEnd::TimedOut : ProgramEnd::StoppedWaiting;
      break;
    }
    host.DispatchPendingEvents();
    if (pidfd >= 0) {
      pollfd fd{pidfd, POLLIN, 0};
      ::poll(&fd, 1, kWaitSliceMs);
    } else {
      ::poll(nullptr, 0, kWaitSliceMs);
    }
  }
  if (pidfd >= 0) ::close(pidfd);
  host.OnProgramWait(nullptr);
  return end;
}

std::string ProgramEndLine(const ProgramEnd& end, const std::string& applied, pid_t pid, int timeLimit) {
  switch (end.kind) {
    case ProgramEnd::Exited:
      if (end.code == 0) return applied;
      return "Failed: " + applied + " (exit status " + std::to_string(end.code) + ")";
    case ProgramEnd::Signalled:
      return "Failed: " + applied + " (ended by signal " + std::to_string(end.code) + ")";
    case ProgramEnd::StoppedWaiting:
      return "Failed: " + applied + " (stopped waiting; process " + std::to_string(pid) + " left running)";
    case ProgramEnd::TimedOut:
      return "Failed: " + applied + " (still running after its time limit of " + std::to_string(timeLimit) +
             " s; ended)";
    case ProgramEnd::Lost:
      break;
  }
  return "Failed: " + applied + " (its end could not be seen)";
}

std::string PlacedCopyOf(const std::string& target, const std::string& file) {
  for (int n = 1; n <= 9999; ++n) {
    const std::string candidate = n == 1 ? target : CollisionName(target, n);
    if (!PathExists(candidate)) {
      if (n > 1) break;  // names are taken in order
      continue;
    }
    if (SameContent(candidate, file)) return candidate;
  }
  return {};
}

}  // namespace brisko
