#pragma once
// Reads the marker structure and EXIF block of a JPEG file and writes a new file with the EXIF
// block changed in place, without decoding the image. Every byte taken from a file is distrusted:
// counts and offsets are bounded by the APP1 block they come from. Reading and the marker walk are
// in jpeg_exif_file.cpp, building the EXIF block in jpeg_exif_build.cpp, writing the file around it in
// jpeg_exif_rewrite.cpp.
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brisko {

// Debug trace of the reader's steps; discarded unless a listener is installed (tests, debug option).
using DebugTraceHook = std::function<void(const std::string&)>;
void SetDebugTraceHook(DebugTraceHook hook);
bool DebugTraceEnabled();
void DebugTrace(const std::string& text);

// Notices for the operator's log (level, text, file), e.g. an EXIF block that had to be rewritten
// whole; discarded unless the station installs a listener.
using ExifNoticeHook = std::function<void(int level, const std::string& text, const std::string& path)>;
void SetExifNoticeHook(ExifNoticeHook hook);
void ExifNotice(int level, const std::string& text, const std::string& path);
// Test seam: runs on each rewritten file's descriptor before it is read back (null = off).
void SetRewriteCheckTamperForTest(std::function<void(int fd)> tamper);

// Camera make codes from the first four characters of the Make tag.
enum CameraMakeCode : int {
  kMakeFuji = 100,
  kMakeCanon = 101,
  kMakeSony = 102,
  kMakeOlympus = 103,
  kMakeRicoh = 104,
  kMakePentax = 105,
  kMakeNikon = 106,
  kMakeKodak = 107,
  kMakeOther = 108,
};

namespace exif_tag {
constexpr uint16_t kMake = 0x010F;
constexpr uint16_t kOrientation = 0x0112;
constexpr uint16_t kDateTime = 0x0132;
constexpr uint16_t kThumbnailOffset = 0x0201;
constexpr uint16_t kThumbnailLength = 0x0202;
constexpr uint16_t kExifIfd = 0x8769;
constexpr uint16_t kGpsIfd = 0x8825;
constexpr uint16_t kMakerNote = 0x927C;
constexpr uint16_t kUserComment = 0x9286;
constexpr uint16_t kPixelXDimension = 0xA002;
constexpr uint16_t kPixelYDimension = 0xA003;
constexpr uint16_t kExifVersion = 0x9000;
constexpr uint16_t kDateTimeOriginal = 0x9003;
constexpr uint16_t kDateTimeDigitized = 0x9004;
constexpr uint16_t kInteropIfd = 0xA005;
}  // namespace exif_tag

uint32_t ExifTypeSize(uint16_t type);

struct ExifEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t position = 0;  // absolute file offset of the value data (see the reader)
  uint32_t value = 0;     // the 4-byte value field as read
  char byteOrder = 0;
  std::vector<uint8_t> data;  // count x type size bytes, file byte order
  uint32_t entryOffset = 0;   // of the 12-byte entry from the TIFF header; 0 for a new entry
};

struct JpegSegment {
  uint16_t marker = 0;
  uint16_t length = 0;  // payload length (stored length field - 2)
  std::vector<uint8_t> data;
  uint64_t position = 0;  // file offset of the marker as read
};

class JpegExifFile {
 public:
  // What to do with the IFD1 thumbnail when the EXIF block is carried over to another image.
  enum class ThumbnailPolicy { Drop, Keep, Rotate90, Rotate270 };

  bool Parse(const std::string& path);
  // Parse of an open file (read with pread only; the descriptor stays open).
  bool ParseDescriptor(int fd, const std::string& path);
  // Writes SOI, the leading APP0 segments, the rebuilt EXIF block and the kept segments up to and
  // including the SOS marker into a new file at path. Refuses to write over the parsed file itself.
  bool Write(const std::string& path) const;
  // The bytes Write would put into the file (used by Write and by the fuzz target). The EXIF block
  // keeps its bytes: changed values that fit are written in place, the rest and any directory
  // that gains an entry go after the old data, so every offset the camera wrote stays valid, and
  // past any of its offsets that point beyond the old block, so nothing new reads as their value;
  // where that would outgrow the APP1 segment such entries are left out (level-4 notice each). Only a
  // block that would outgrow the segment even so is laid out anew (with a level-4 notice).
  bool BuildHeader(std::vector<uint8_t>& out) const;
  // The TIFF part of the EXIF block as BuildHeader writes it; false when it cannot be written.
  bool BuildTiff(std::vector<uint8_t>& tiff) const;
  // The whole-block layout used when changing in place would outgrow the segment.
  bool BuildTiffWhole(std::vector<uint8_t>& tiff) const;

  const ExifEntry* FindTag(uint16_t tag) const;
  ExifEntry* FindTag(uint16_t tag);
  const ExifEntry* FindGpsTag(uint16_t tag) const;

  bool GetOrientation(uint16_t& orientation) const;
  bool SetOrientation(uint16_t orientation);
  bool GetPixelDimensions(uint32_t& width, uint32_t& height) const;
  bool SetPixelDimensions(uint32_t width, uint32_t height);
  bool GetUserComment(std::string& text) const;
  void SetUserComment(const std::string& text);
  bool GetDateTime(std::string& text) const;
  // When the picture was taken: DateTimeOriginal, else DateTimeDigitized, else DateTime (the
  // file's change date, all an edited copy may have kept), the first that holds a date.
  bool GetDateTaken(std::time_t& time) const;
  // Reads a bare EXIF block (a TIFF header and its directories, as HEIF files keep it).
  bool ParseTiff(const std::vector<uint8_t>& tiff);
  bool GetGpsPosition(float& latitude, float& longitude) const;

  // Drops the IFD1 thumbnail (directory and data).
  void DropThumbnail();
  // Replaces the thumbnail JPEG data (after transforming it like the main image).
  void SetThumbnailData(std::vector<uint8_t> jpeg);
  // Sets tiff:Orientation in XMP packets that state one (same-length edit); returns how many.
  int SetXmpOrientation(uint16_t orientation);
  // File offset of the MP index header (the TIFF header of an MPF APP2 segment), if any.
  std::optional<uint64_t> MultiPictureHeaderPosition() const;

  std::string path;
  uint16_t sofWidth = 0;  // baseline SOF only
  uint16_t sofHeight = 0;
  uint16_t frameWidth = 0;  // any SOF (baseline, extended, progressive, lossless)
  uint16_t frameHeight = 0;
  int cameraMake = 0;
  uint64_t sosPosition = 0;
  uint64_t fileSize = 0;  // as parsed: a source that changed since is not copied
  char byteOrder = 0;
  std::vector<ExifEntry> ifd0Entries;
  std::vector<ExifEntry> exifEntries;
  std::vector<ExifEntry> gpsEntries;
  std::vector<ExifEntry> makerNoteEntries;
  std::vector<ExifEntry> thumbnailEntries;
  std::vector<ExifEntry> interopEntries;
  std::vector<uint8_t> thumbnailData;  // the IFD1 JPEG thumbnail
  std::vector<JpegSegment> segments;
  // Offset of the maker note data from the TIFF header as read: maker notes whose inner offsets
  // count from the TIFF header stay readable only at the same place.
  std::optional<uint32_t> makerNoteOffset;
  // File offset of the EXIF block's TIFF header as read (0: no block): the origin of offsets that
  // point past the block into the data after the picture.
  uint64_t tiffPosition = 0;

 private:
  void ParseExifBlock(const std::vector<uint8_t>& block, uint64_t blockFilePos);
  // The in-place layout; appended data starts at appendFrom at the earliest, and the directory
  // entries (or next-directory fields) at the offsets in `drop` are left out.
  void BuildInPlace(std::vector<uint8_t>& tiff, uint64_t appendFrom, const std::vector<uint32_t>& drop) const;
  // Bit d set: directory d lies where one read before it lies (a camera's Interop pointer at
  // IFD0). It was read as that directory and is never written through; its pointer stays.
  unsigned AliasDirs() const;
  // Whether every such directory is to be written as it was read (else the whole layout).
  bool AliasesUnchanged(unsigned aliases) const;
  ExifEntry* FindIn(std::vector<ExifEntry>& list, uint16_t tag);
  uint64_t m_sourceDev = 0;
  uint64_t m_sourceIno = 0;
  // The TIFF part of the EXIF block as read, and where its directories and thumbnail were.
  std::vector<uint8_t> m_tiff;
  enum Dir { kIfd0, kExif, kGps, kInterop, kIfd1, kDirCount };
  uint32_t m_dirOffset[kDirCount] = {};
  uint32_t m_thumbOffset = 0;
  uint32_t m_thumbSize = 0;
  bool m_dropThumbnail = false;
};

// Where the first picture's EOI marker lies, walking its scans from sosPosition (data after it
// belongs to other pictures or a video); nullopt when there is none.
std::optional<uint64_t> FindJpegImageEnd(const uint8_t* data, size_t size, uint64_t sosPosition);

// Data after the first picture that the rewrite carries over (second pictures, motion-photo video).
struct JpegTrailer {
  std::string path;  // file holding it; empty for none
  uint64_t offset = 0;
  uint64_t length = 0;
  std::optional<uint64_t> mpHeader;  // position of the source's MP index header in that file
};

// Why an MP index could not be carried over to a rewritten first picture ("" when it can).
std::string CheckMultiPictureIndex(const std::vector<uint8_t>& file, uint64_t imageEnd);

// File-level operations: each parses its own JpegExifFile and returns false when the parse fails.
bool ReadJpegSofDimensions(const std::string& path, int& width, int& height);
bool ReadExifUserComment(const std::string& path, std::string& text);
bool ReadExifGpsPosition(const std::string& path, float& latitude, float& longitude);
bool ReadExifDateTime(const std::string& path, std::time_t& time);
// The same for a JPEG under any name (a camera's download under a hidden name).
bool ReadJpegDateTime(const std::string& path, std::time_t& time);
// The date taken from a bare EXIF block (TIFF header first), as JpegExifFile::GetDateTaken.
bool ReadTiffDateTaken(const std::vector<uint8_t>& tiff, std::time_t& time);
bool JpegNeedsRotation(const std::string& path);
bool WriteExifUserComment(const std::string& comment, const std::string& sourcePath,
                          const std::string& destinationPath);
// The same from a parsed source onto an open, empty, readable file, for callers that flush many
// files at once: nothing is flushed here. The check reads back only the header segments (and the
// size) through `fd`. `file` is changed (its comment).
bool WriteExifUserCommentTo(JpegExifFile& file, const std::string& comment, int fd);
// orientation -1 keeps the EXIF source's orientation.
// The trailer is appended after the image's scan data, with the MP index updated to point at it.
bool ReplicateExif(const std::string& exifSourcePath, const std::string& imageSourcePath,
                   const std::string& destinationPath, int orientation,
                   JpegExifFile::ThumbnailPolicy thumbnail = JpegExifFile::ThumbnailPolicy::Drop,
                   const JpegTrailer& trailer = {});
// Appends everything from sosPosition to the end of the source to the existing destination.
bool AppendScanData(const std::string& sourcePath, uint64_t sosPosition, const std::string& destinationPath);

}  // namespace brisko
