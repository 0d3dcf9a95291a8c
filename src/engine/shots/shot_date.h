#pragma once
// The date taken that a shot's templates read. Many cameras write a JPEG beside a RAW file whose
// EXIF lacks the date taken (a JPEG made in camera from the RAW, some tethering tools): the
// leader then takes its RAW (or HEIF) partner's date, read through the RAW reader. A file is read
// by the kind its listed name says, so a camera's download under a hidden name is read too. The
// date is the whole shot's even where only some of its files move (a "*.jpg" file pattern).
#include <string>

#include "naming/exif_access.h"

namespace brisko {

struct Shot;

class ShotDateAccess final : public ExifAccess {
 public:
  // `leader` and `partner` are the files read (a camera's downloads under hidden names);
  // `leaderKind` and `partnerKind` are names whose extensions say what each file is.
  ShotDateAccess(std::string leader, std::string leaderKind, std::string partner, std::string partnerKind);
  // The templates are evaluated for `named` (the leader of the files that move), and its date is
  // the one `leader` (the whole shot's), else `partner`, gives.
  ShotDateAccess(std::string named, std::string leader, std::string leaderKind, std::string partner,
                 std::string partnerKind);

  bool ReadUserComment(const std::string& path, std::string& text) override;
  bool ReadDateTime(const std::string& path, std::time_t& when) override;
  bool WriteUserComment(const std::string& comment, const std::string& source,
                        const std::string& destination) override;

 private:
  std::string m_named, m_leader, m_leaderKind, m_partner, m_partnerKind;
};

// The member of `shot` whose date stands in for the leader's: its RAW, else its HEIF ("" when
// the leader is that file or there is none).
std::string ShotDatePartner(const Shot& shot);

}  // namespace brisko
