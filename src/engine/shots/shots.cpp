#include "engine/shots/shots.h"

#include <algorithm>
#include <map>

#include "rawmeta/raw_metadata.h"
#include "support/text.h"

namespace brisko {

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The last dot-part with its dot ("" when none; a leading dot is part of the name).
size_t ExtensionAt(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

std::string Extension(const std::string& name) {
  return name.substr(ExtensionAt(name));
}
std::string Stem(const std::string& name) {
  return name.substr(0, ExtensionAt(name));
}

int LeaderRank(ShotFileKind kind) {
  switch (kind) {
    case ShotFileKind::Jpeg:
      return 0;
    case ShotFileKind::Raw:
      return 1;
    case ShotFileKind::Heif:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

bool IsSidecarName(const std::string& name) {
  const std::string ext = Extension(name);
  return EqualsNoCase(ext, ".xmp") || EqualsNoCase(ext, ".thm");
}

ShotFileKind ShotKindOf(const std::string& name) {
  const std::string ext = Extension(name);
  if (EqualsNoCase(ext, ".jpg") || EqualsNoCase(ext, ".jpeg")) return ShotFileKind::Jpeg;
  if (IsHeifPath(name)) return ShotFileKind::Heif;
  if (IsRawOrHeifPath(name)) return ShotFileKind::Raw;
  return ShotFileKind::Other;
}

std::vector<Shot> GroupShots(const std::vector<std::string>& names) {
  std::vector<Shot> shots;
  std::map<std::string, size_t> byKey;
  std::vector<std::string> sidecars;
  for (const std::string& name : names) {
    if (IsSidecarName(name)) {
      sidecars.push_back(name);
      continue;
    }
    const std::string key = Lower(Stem(name));
    auto [it, added] = byKey.emplace(key, shots.size());
    if (added) shots.push_back(Shot{key, {}, 0});
    shots[it->second].members.push_back({name, ShotKindOf(name), {}});
  }
  for (Shot& shot : shots) {
    for (size_t i = 1; i < shot.members.size(); ++i)
      if (LeaderRank(shot.members[i].kind) < LeaderRank(shot.members[shot.leader].kind)) shot.leader = i;
  }
  for (const std::string& sidecar : sidecars) {
    const std::string named = Stem(sidecar);  // "IMG_1.CR2" or "IMG_1"
    ShotMember* owner = nullptr;
    // "IMG_1.CR2.xmp": the member of that exact name (letter case aside).
    auto it = byKey.find(Lower(Stem(named)));
    if (it != byKey.end() && !Extension(named).empty()) {
      for (ShotMember& m : shots[it->second].members)
        if (EqualsNoCase(m.name, named)) owner = &m;
    }
    // "IMG_1.xmp": the shot's RAW file, else its HEIF, else its leader.
    if (!owner) {
      if (auto s = byKey.find(Lower(named)); s != byKey.end()) {
        Shot& shot = shots[s->second];
        owner = &shot.members[shot.leader];
        for (ShotFileKind kind : {ShotFileKind::Heif, ShotFileKind::Raw})
          for (ShotMember& m : shot.members)
            if (m.kind == kind) owner = &m;
      }
    }
    if (owner) {
      owner->sidecars.push_back(sidecar);
    } else {
      // Nothing it belongs to is here: it is handled like any other file.
      shots.push_back(Shot{Lower(sidecar), {{sidecar, ShotFileKind::Other, {}}}, 0});
    }
  }
  return shots;
}

std::vector<std::string> SelectedFiles(const Shot& shot,
                                       const std::function<bool(const std::string&)>& selected) {
  std::vector<std::string> files;
  std::vector<bool> picked;
  for (const ShotMember& m : shot.members) picked.push_back(selected(m.name));
  const bool any = std::find(picked.begin(), picked.end(), true) != picked.end();
  for (size_t i = 0; i < shot.members.size(); ++i) {
    const ShotMember& m = shot.members[i];
    if (picked[i]) {
      files.push_back(m.name);
      files.insert(files.end(), m.sidecars.begin(), m.sidecars.end());
      continue;
    }
    if (!any) continue;
    // The shot's own sidecars ("IMG_1.xmp", "IMG_1.THM") come with whichever member goes; one
    // that names a member ("IMG_1.CR2.xmp") stays with it.
    for (const std::string& s : m.sidecars) {
      const bool namesMember = s.size() > m.name.size() && s[m.name.size()] == '.' &&
                               EqualsNoCase(std::string_view(s).substr(0, m.name.size()), m.name);
      if (!namesMember) files.push_back(s);
    }
  }
  return files;
}

std::string MemberNewName(const Shot& shot, const std::string& file, const std::string& newBase) {
  // What follows the shot's base name in this file's name: ".CR2", ".CR2.xmp", ".xmp".
  for (const ShotMember& m : shot.members) {
    const size_t baseLength = Stem(m.name).size();
    if (file == m.name) return newBase + file.substr(baseLength);
    for (const std::string& s : m.sidecars)
      if (file == s) {
        const bool namesMember = s.size() > m.name.size() && s[m.name.size()] == '.' &&
                                 EqualsNoCase(std::string_view(s).substr(0, m.name.size()), m.name);
        return newBase + s.substr(namesMember ? baseLength : ExtensionAt(s));
      }
  }
  return newBase + Extension(file);
}

std::string SharedCollisionSuffix(const Shot& shot, const std::vector<std::string>& files,
                                  const std::string& newBase,
                                  const std::function<bool(const std::string&)>& taken, bool& ok, int limit,
                                  const std::function<bool(const std::string& base)>& reserved) {
  ok = true;
  for (int n = 1; n <= limit; ++n) {
    // Appended, not "_" + to_string(n): GCC 12 at -O3 misreads that insert as an overlapping copy
    // (-Wrestrict).
    const std::string suffix = n == 1 ? std::string() : std::string("_").append(std::to_string(n));
    if (reserved && reserved(newBase + suffix)) continue;
    const bool free = std::none_of(files.begin(), files.end(), [&](const std::string& f) {
      return taken(MemberNewName(shot, f, newBase + suffix));
    });
    if (free) return suffix;
  }
  ok = false;
  return {};
}

bool ShotOldEnough(const std::vector<int64_t>& memberModTimes, int64_t now, int64_t minimumAge) {
  return std::all_of(memberModTimes.begin(), memberModTimes.end(),
                     [&](int64_t t) { return std::max<int64_t>(0, now - t) >= minimumAge; });
}

int64_t ShotTime(const std::vector<int64_t>& memberModTimes) {
  return memberModTimes.empty() ? 0 : *std::max_element(memberModTimes.begin(), memberModTimes.end());
}

}  // namespace brisko
