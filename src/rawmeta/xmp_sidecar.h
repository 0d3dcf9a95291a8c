#pragma once
// The EXIF user comment of a shot kept in an XMP sidecar (exif:UserComment), for shots whose
// files the station must not rewrite (RAW, HEIF). An existing sidecar keeps everything it holds:
// it is read and written whole through libexiv2's XMP toolkit, and replaced through a
// temporary file and a rename. A sidecar that cannot be read is left alone, never replaced.
#include <cstddef>
#include <string>

namespace brisko {

// Larger sidecars are refused (a real one holds a few kilobytes, an edit history some more).
inline constexpr size_t kMaxSidecarSize = size_t{16} << 20;

// The packet `existing` ("" for a new sidecar) with exif:UserComment set to `text` (its
// default-language entry; other languages go), as the text of a sidecar file. Characters XML
// cannot carry (control characters, broken UTF-8) are written as "?".
bool MergeSidecarUserComment(const std::string& existing, const std::string& text, std::string& merged,
                             std::string* whyNot = nullptr);
// Sets the comment in the sidecar at `xmpPath`, creating the file when there is none.
bool WriteSidecarUserComment(const std::string& xmpPath, const std::string& text,
                             std::string* whyNot = nullptr);
// The comment's default-language text; false when the sidecar or the comment is missing.
bool ReadSidecarUserComment(const std::string& xmpPath, std::string& text, std::string* whyNot = nullptr);

}  // namespace brisko
