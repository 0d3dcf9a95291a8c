#include "engine/shots/shot_date.h"

#include "engine/shots/shots.h"
#include "imagemeta/jpeg_exif_file.h"
#include "rawmeta/raw_metadata.h"

namespace brisko {

ShotDateAccess::ShotDateAccess(std::string leader, std::string leaderKind, std::string partner,
                               std::string partnerKind)
    : ShotDateAccess(leader, leader, std::move(leaderKind), std::move(partner), std::move(partnerKind)) {}

ShotDateAccess::ShotDateAccess(std::string named, std::string leader, std::string leaderKind,
                               std::string partner, std::string partnerKind)
    : m_named(std::move(named)),
      m_leader(std::move(leader)),
      m_leaderKind(std::move(leaderKind)),
      m_partner(std::move(partner)),
      m_partnerKind(std::move(partnerKind)) {}

bool ShotDateAccess::ReadUserComment(const std::string& path, std::string& text) {
  return DefaultExifAccess().ReadUserComment(path, text);
}

bool ShotDateAccess::ReadDateTime(const std::string& path, std::time_t& when) {
  if (path != m_named) return DefaultExifAccess().ReadDateTime(path, when);
  if (ReadDateTaken(m_leader, m_leaderKind, when)) return true;
  return !m_partner.empty() && ReadDateTaken(m_partner, m_partnerKind, when);
}

bool ShotDateAccess::WriteUserComment(const std::string& comment, const std::string& source,
                                      const std::string& destination) {
  return DefaultExifAccess().WriteUserComment(comment, source, destination);
}

std::string ShotDatePartner(const Shot& shot) {
  for (ShotFileKind kind : {ShotFileKind::Raw, ShotFileKind::Heif}) {
    for (size_t i = 0; i < shot.members.size(); ++i)
      if (i != shot.leader && shot.members[i].kind == kind) return shot.members[i].name;
  }
  return {};
}

}  // namespace brisko
