#pragma once
// Which card is this: a volume told by its file system's own serial number or UUID, never by its
// mount path or label. Every card one camera model formats carries the same label and mounts at
// the same path, so only the serial tells a card put back from another one put in its place.
#include <cstddef>
#include <cstdint>
#include <string>

namespace brisko {

// The serial number or UUID in the first bytes of a volume, as its file system stores it: FAT12,
// FAT16 and FAT32 ("1234-ABCD"), exFAT, NTFS and ext2/3/4; "" for anything else. Reads at most
// `size` bytes of `data` (2048 are enough).
std::string VolumeSerialFromBootSector(const unsigned char* data, size_t size);

// The volume holding `path`: a 64-bit digest of its serial (from /dev/disk/by-uuid, else read
// from the device where it may be read), 0 when it cannot be told (no block device behind it,
// or none that may be read). A folder left empty by an unmounted card is on another volume.
uint64_t VolumeIdOf(const std::string& path);

// Test seam: the id every path reports (0: ask the system).
void SetVolumeIdForTest(uint64_t (*of)(const std::string& path));

}  // namespace brisko
