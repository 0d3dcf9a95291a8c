#pragma once
// Shots: the files of one folder that share a base name (compared without letter case), such as
// IMG_0001.JPG, IMG_0001.CR2 and IMG_0001.HEIC, move, rename and file as one. Sidecars
// (IMG_0001.xmp, IMG_0001.CR2.xmp, IMG_0001.THM) are no members: they belong to the file they
// name and go wherever it goes. Only names are handled here; nothing touches the disk.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brisko {

enum class ShotFileKind { Jpeg, Raw, Heif, Other };

struct ShotMember {
  std::string name;  // file name in the folder
  ShotFileKind kind = ShotFileKind::Other;
  std::vector<std::string> sidecars;  // file names of the sidecars that go with it
};

struct Shot {
  std::string key;  // the base name in lower case
  std::vector<ShotMember> members;
  size_t leader = 0;  // the member whose name the templates are evaluated for
};

// True for sidecar names: ".xmp" and ".thm" in any letter case.
bool IsSidecarName(const std::string& name);
ShotFileKind ShotKindOf(const std::string& name);

// Groups the file names of one folder into shots, in the order their first member appears. The
// leader is the JPEG where there is one, else the RAW, else the HEIF, else the first member.
// "IMG_1.CR2.xmp" belongs to IMG_1.CR2; "IMG_1.xmp" and "IMG_1.THM" belong to the shot's RAW
// (else HEIF, else leader). A sidecar whose file is not in the folder is a shot of its own.
std::vector<Shot> GroupShots(const std::vector<std::string>& names);

// The names that move for the members the file specification selected: each selected member
// and its sidecars, whether or not the file specification names them, and the shot's own
// sidecars ("IMG_1.xmp", "IMG_1.THM") with any selected member.
std::vector<std::string> SelectedFiles(const Shot& shot,
                                       const std::function<bool(const std::string&)>& selected);

// The new name of `file` (a member or a sidecar of the shot) when the leader's new base name is
// `newBase`: the same base for all, each file keeping its own extension and its letter case
// ("IMG_1.CR2.xmp" becomes newBase + ".CR2.xmp").
std::string MemberNewName(const Shot& shot, const std::string& file, const std::string& newBase);

// The suffix ("" or "_n", as a moved file's free name) that gives every file of the shot a free name in the
// target folder: one suffix for all, so the members still share their base name. `taken` tells whether a name
// is in use; `reserved` (when set), whether a base name is held for another shot's late partners.
// Gives up after `limit` tries (returns "" with ok false).
std::string SharedCollisionSuffix(const Shot& shot, const std::vector<std::string>& files,
                                  const std::string& newBase,
                                  const std::function<bool(const std::string&)>& taken, bool& ok,
                                  int limit = 10000,
                                  const std::function<bool(const std::string& base)>& reserved = nullptr);

// A shot is old enough when every member is; its time for newest-N is its newest member's.
bool ShotOldEnough(const std::vector<int64_t>& memberModTimes, int64_t now, int64_t minimumAge);
int64_t ShotTime(const std::vector<int64_t>& memberModTimes);

}  // namespace brisko
