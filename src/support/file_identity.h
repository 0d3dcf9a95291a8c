#pragma once
// Which file is which, told the one way every durable record in the program tells it: the inode
// number where the file system keeps one, the size and the modification time; and equal bytes
// where two files can be compared. A size alone never names a photo.
#include <cstdint>
#include <functional>
#include <string>

namespace brisko {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modTimeNs = 0;
  // The volume it was on (VolumeIdOf), where a record noted it: 0 when not known. A source is
  // judged only on its own volume; a card with the same label in its place is another card.
  uint64_t volume = 0;
  bool operator==(const FileIdentity&) const = default;
};
// Whether `folder` lists anything but "." and "..".
bool FolderHasEntries(const char* folder);
// False when `path` is not a regular file (never follows a symbolic link).
bool ReadFileIdentity(const std::string& path, FileIdentity& identity);

// Whether the file system that holds `path` keeps a file's inode number for as long as the file
// lives. vfat, exfat, FUSE and SMB mounts number files as they are read: a card put back, or a
// file that left the cache, shows the same photos under new numbers (told by statfs f_type).
bool KeepsInodeNumbers(const std::string& path);
// Test seam: the statfs f_type reported for every path (0: ask the kernel).
void SetFileSystemTypeForTest(long type);

// Whether the file at `path` is still the one `recorded` describes ("changed since copied" is
// the opposite): the same size and modification time, and the same inode number where the file
// system keeps them. The device is not compared: a card put back may come under another one.
// False when `path` is not a regular file or cannot be read.
bool StillTheRecordedFile(const std::string& path, const FileIdentity& recorded);

// Two regular files with the same bytes.
bool SameContent(const std::string& a, const std::string& b);

// Where a recorded source stands. A file that cannot be looked at (a card pulled while mounted
// gives EIO) or whose folder is not there (the card taken out) proves nothing.
enum class SourceState { There, Gone, Unknown };
SourceState ProbeSource(const std::string& path, uint64_t recordedDevice = 0);
// As above for a recorded source: its folder on another volume than the one recorded (another
// card in the reader, the empty mount point of one taken out) proves nothing either, and a file
// of the same name there is not the recorded one.
SourceState ProbeSource(const std::string& path, const FileIdentity& recorded);
// During a move, before anything is recorded: true when `path` is not there while its folder is,
// on the file system `device` it was read from. Another file system in the folder's place (the
// next card in the reader, with the same folders) says nothing of the photo.
bool GoneFromItsFolder(const std::string& path, uint64_t device);
// Notes in `identity` the volume `path` is on, unless noted already.
void NoteVolume(const std::string& path, FileIdentity& identity);

// The file beside `gone` that is `gone` renamed: its inode number, size and time (on a file
// system that keeps inode numbers; elsewhere there is no telling and the answer is ""). Names
// `takes` refuses (a pass would never move them) and hidden names are passed over.
std::string FindRenamed(const std::string& gone, const FileIdentity& was,
                        const std::function<bool(const std::string& name)>& takes = nullptr);

}  // namespace brisko
