#pragma once
// libexiv2's process-wide settings, made once before its first use: its messages off (the
// station reports its own failures), the XMP toolkit started, and the reader of HEIF and CR3
// files (ISO media boxes) switched on.
namespace brisko {

void SetUpExiv2();

}  // namespace brisko
