// Writing a JPEG file around a new header: the scan data and any pictures after it copied
// behind it, the multi-picture index and maker-note pointers that follow them moved along.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "imagemeta/jpeg_exif_file.h"
#include "imagemeta/jpeg_exif_file_internal.h"
#include "imaging/jpeg_transform.h"
#include "support/safe_output.h"

namespace brisko {

using namespace exif_detail;

bool JpegExifFile::Write(const std::string& outPath) const {
  struct stat st {};
  if (stat(outPath.c_str(), &st) == 0 && st.st_dev == m_sourceDev && st.st_ino == m_sourceIno) {
    // The scan data is still to be read from the parsed file.
    Trace("Could not open file for writing: %s", outPath.c_str());
    return false;
  }
  std::vector<uint8_t> header;
  if (!BuildHeader(header)) return false;
  int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    Trace("Could not open file for writing: %s", outPath.c_str());
    return false;
  }
  bool ok = WriteAll(fd, header.data(), header.size());
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(outPath.c_str());
  return ok;
}

std::optional<uint64_t> JpegExifFile::MultiPictureHeaderPosition() const {
  for (const JpegSegment& s : segments) {
    if (IsMpfApp2(s)) return s.position + 4 + 4;  // marker, length, "MPF\0"
  }
  return std::nullopt;
}

std::optional<uint64_t> FindJpegImageEnd(const uint8_t* data, size_t size, uint64_t sosPosition) {
  // sosPosition is just after an SOS marker: its header, then entropy-coded data in which 0xFF is
  // followed by 0x00 (stuffing), a restart marker or fill; any other marker ends the scan.
  uint64_t i = sosPosition;
  for (;;) {
    if (i + 2 > size) return std::nullopt;
    i += Be16(data + i);  // the segment after the marker
    for (;;) {
      if (i >= size) return std::nullopt;
      const void* ff = std::memchr(data + i, 0xFF, size_t(size - i));
      if (!ff) return std::nullopt;
      i = static_cast<const uint8_t*>(ff) - data;
      if (i + 1 >= size) return std::nullopt;
      const uint8_t m = data[i + 1];
      if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0xFF) {
        i += 1;
        continue;
      }
      if (m == 0xD9) return i;
      // Tables or the next scan of a progressive picture: skip the segment, go on scanning.
      i += 2;
      break;
    }
  }
}

namespace {

// The MP entries of an MPF payload (16 bytes each, offsets from the payload's TIFF header).
struct MpIndex {
  char order = 0;
  size_t entries = 0;  // offset of the first entry in the payload
  uint32_t count = 0;
};

bool ReadMpIndex(const uint8_t* payload, size_t size, MpIndex& out) {
  if (size < 12 || std::memcmp(payload, "MPF", 4) != 0) return false;
  const uint8_t* t = payload + 4;
  const size_t tsize = size - 4;
  const char order = t[0] == 'M' ? 'M' : (t[0] == 'I' ? 'I' : 0);
  if (order == 0 || Get16(t + 2, order) != 42) return false;
  const uint64_t ifd = Get32(t + 4, order);
  if (ifd + 2 > tsize) return false;
  const size_t n = Get16(t + ifd, order);
  if (ifd + 2 + 12 * uint64_t(n) > tsize) return false;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* e = t + ifd + 2 + 12 * i;
    if (Get16(e, order) != 0xB002) continue;
    const uint64_t bytes = Get32(e + 4, order);
    const uint64_t at = Get32(e + 8, order);
    if (bytes < 16 || bytes % 16 != 0 || at > tsize || bytes > tsize - at) return false;
    out = {order, size_t(4 + at), uint32_t(bytes / 16)};
    return true;
  }
  return false;
}

// The MPF payload among the segments of a JPEG held in memory (its offset, or 0).
size_t FindMpfPayload(const uint8_t* data, size_t size, size_t& payloadSize) {
  size_t i = 2;
  while (i + 4 <= size && data[i] == 0xFF) {
    const uint8_t m = data[i + 1];
    if (m == 0xFF) {
      ++i;
      continue;
    }
    if (m == 0xDA || m == 0xD9) break;
    const size_t len = Be16(data + i + 2);
    if (len < 2 || i + 2 + len > size) break;
    if (m == 0xE2 && len >= 2 + 12 && std::memcmp(data + i + 4, "MPF", 4) == 0) {
      payloadSize = len - 2;
      return i + 4;
    }
    i += 2 + len;
  }
  return 0;
}

// Points the MP index in `header` (a new first picture's segments) at the pictures that follow:
// they moved from oldTrailer to newTrailer, and the first picture's size changed by as much.
bool FixMpIndex(std::vector<uint8_t>& header, uint64_t oldMpHeader, uint64_t oldTrailer,
                uint64_t newTrailer) {
  size_t payloadSize = 0;
  const size_t at = FindMpfPayload(header.data(), header.size(), payloadSize);
  MpIndex mp;
  if (at == 0 || !ReadMpIndex(&header[at], payloadSize, mp)) return false;
  const uint64_t newMpHeader = at + 4;
  const int64_t shift = int64_t(newTrailer) - int64_t(oldTrailer);
  for (uint32_t i = 0; i < mp.count; ++i) {
    uint8_t* e = &header[at + mp.entries + 16 * size_t(i)];
    const uint32_t size = Get32(e + 4, mp.order);
    const uint32_t offset = Get32(e + 8, mp.order);
    if (offset == 0) {
      // The first picture (offsets of 0 name it).
      const int64_t resized = int64_t(size) + shift;
      if (resized <= 0 || resized > int64_t(UINT32_MAX)) return false;
      Put32(e + 4, uint32_t(resized), mp.order);
      continue;
    }
    const uint64_t oldAt = oldMpHeader + offset;
    if (oldAt < oldTrailer) return false;
    const uint64_t newAt = oldAt - oldTrailer + newTrailer;
    if (newAt <= newMpHeader || newAt - newMpHeader > UINT32_MAX) return false;
    Put32(e + 8, uint32_t(newAt - newMpHeader), mp.order);
  }
  return true;
}

// Where the TIFF header of the EXIF block in `header` is (0: none), and the end of that segment.
size_t FindExifTiff(const std::vector<uint8_t>& header, size_t& end) {
  size_t i = 2;
  while (i + 4 <= header.size() && header[i] == 0xFF) {
    const uint8_t m = header[i + 1];
    if (m == 0xDA || m == 0xD9) break;
    const size_t len = Be16(&header[i + 2]);
    if (len < 2 || i + 2 + len > header.size()) break;
    if (m == 0xE1 && len >= 2 + kTiffStart + 8 && std::memcmp(&header[i + 4], "Exif\0", 6) == 0) {
      end = i + 2 + len;
      return i + 4 + kTiffStart;
    }
    i += 2 + len;
  }
  return 0;
}

// Some maker notes (older Minolta and Olympus) point from the TIFF header at a preview JPEG stored
// after the picture. When the data from oldFrom on in the source lands at newFrom in the new file,
// such offsets in the note follow it; without that the preview would no longer be found, or be
// looked for past the end of the file. An offset is taken for one only when it stands in a LONG
// entry of the note and either the next entry holds its length (the tag after it, the block lying
// within the file: whatever the block holds, as some cameras write a preview that starts 00 D8) or
// the source holds a JPEG start where it points.
void FollowTrailerPointers(std::vector<uint8_t>& header, const JpegExifFile& file, const std::string& source,
                           uint64_t oldFrom, uint64_t newFrom) {
  const ExifEntry* note = file.FindTag(exif_tag::kMakerNote);
  if (!note || !file.makerNoteOffset || file.tiffPosition == 0 || note->data.size() < 12) return;
  size_t segmentEnd = 0;
  const size_t tiff = FindExifTiff(header, segmentEnd);
  const uint64_t at = uint64_t(tiff) + *file.makerNoteOffset;
  // Only a note that stayed where it was: its offsets count from the header as before.
  if (tiff == 0 || at + note->data.size() > segmentEnd ||
      !std::equal(note->data.begin(), note->data.end(), header.begin() + static_cast<ptrdiff_t>(at)))
    return;
  const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  const uint64_t size = fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
  const char order = file.byteOrder;
  const size_t noteSize = note->data.size();
  auto longEntry = [&](const uint8_t* e) { return Get16(e + 2, order) == 4 && Get32(e + 4, order) == 1; };
  int reads = 0;  // a note is small, but every candidate costs a read
  for (size_t p = 0; p + 12 <= noteSize; ++p) {
    uint8_t* e = &header[at + p];
    if (!longEntry(e)) continue;
    const uint64_t target = file.tiffPosition + Get32(e + 8, order);
    if (target < oldFrom || target + 2 > size) continue;
    const uint8_t* next = p + 24 <= noteSize ? e + 12 : nullptr;
    const uint64_t length = next && longEntry(next) && Get16(next, order) == uint16_t(Get16(e, order) + 1)
                                ? Get32(next + 8, order)
                                : 0;
    bool follow = length > 0 && target + length <= size;
    if (!follow && reads < 64) {
      uint8_t soi[2] = {0, 0};
      ++reads;
      follow = pread(fd, soi, 2, static_cast<off_t>(target)) == 2 && soi[0] == 0xFF && soi[1] == 0xD8;
    }
    if (!follow) continue;
    const uint64_t moved = newFrom + (target - oldFrom);
    if (moved <= tiff || moved - tiff > UINT32_MAX) continue;
    Put32(e + 8, static_cast<uint32_t>(moved - tiff), order);
    p += 11;
  }
  close(fd);
}

// Header + scan data into a temporary file beside the destination, checked and then renamed into
// place: a failure leaves no partial destination and the source untouched.
struct ScanPart {
  std::string path;
  uint64_t offset = 0;
  uint64_t length = UINT64_MAX;  // to the end of the file
  uint64_t sourceSize = 0;       // the file's size when it was parsed (0: not checked)
};

std::function<void(int fd)>& RewriteCheckTamper() {
  static std::function<void(int fd)> tamper;
  return tamper;
}

// Header and scan data onto `fd`, then the check: the scan data must have arrived whole behind a
// header that parses. `written` names the file for the parse.
bool WriteJpegTo(const JpegExifFile& file, const std::vector<uint8_t>& header,
                 const std::vector<ScanPart>& parts, int fd, const std::string& written) {
  if (!WriteAll(fd, header.data(), header.size())) return false;
  uint64_t expected = 0;
  for (const ScanPart& part : parts) {
    if (part.length == 0) continue;
    int src = open(part.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) return false;
    struct stat st {};
    const bool sized = fstat(src, &st) == 0 && uint64_t(st.st_size) >= part.offset &&
                       (part.sourceSize == 0 || uint64_t(st.st_size) == part.sourceSize);
    const uint64_t length = sized ? std::min<uint64_t>(part.length, uint64_t(st.st_size) - part.offset) : 0;
    const bool ok = sized && CopyBytes(src, part.offset, length, fd);
    close(src);
    if (!sized) ExifNotice(4, "FAILED: file changed while it was rewritten; original kept", part.path);
    if (!ok) return false;
    expected += length;
  }
  if (RewriteCheckTamper()) RewriteCheckTamper()(fd);
  JpegExifFile check;
  struct stat st {};
  if (!check.ParseDescriptor(fd, written) || fstat(fd, &st) != 0 ||
      uint64_t(st.st_size) - check.sosPosition != expected) {
    ExifNotice(4, "FAILED: rewritten JPEG did not read back whole; original kept", file.path);
    return false;
  }
  return true;
}

bool WriteJpeg(const JpegExifFile& file, const std::vector<uint8_t>& header,
               const std::vector<ScanPart>& parts, const std::string& destination) {
  SafeOutput out;
  if (!out.Open(destination)) {
    Trace("Could not open file for writing: %s", destination.c_str());
    return false;
  }
  return WriteJpegTo(file, header, parts, out.Fd(), out.TempPath()) && out.Commit();
}

// The header of `f` with `comment` as its user comment, laid out for the scan data that follows.
bool CommentedHeader(JpegExifFile& f, const std::string& comment, std::vector<uint8_t>& header) {
  if (f.sosPosition == 0) return false;
  f.SetUserComment(comment);
  if (!f.BuildHeader(header)) return false;
  // Later pictures of an MPO file move with the header's change of size.
  if (auto mp = f.MultiPictureHeaderPosition(); mp && !FixMpIndex(header, *mp, f.sosPosition, header.size()))
    Trace("Multi-picture index left as it was");
  FollowTrailerPointers(header, f, f.path, f.sosPosition, header.size());
  return true;
}

}  // namespace

std::string CheckMultiPictureIndex(const std::vector<uint8_t>& file, uint64_t imageEnd) {
  size_t payloadSize = 0;
  const size_t at = FindMpfPayload(file.data(), file.size(), payloadSize);
  if (at == 0) return {};
  MpIndex mp;
  if (!ReadMpIndex(&file[at], payloadSize, mp)) return "its multi-picture index cannot be read";
  const uint64_t header = at + 4;
  for (uint32_t i = 0; i < mp.count; ++i) {
    const uint8_t* e = &file[at + mp.entries + 16 * size_t(i)];
    const uint64_t size = Get32(e + 4, mp.order);
    const uint64_t offset = Get32(e + 8, mp.order);
    if (offset == 0) continue;
    if (header + offset < imageEnd + 2 || header + offset + size > file.size())
      return "its multi-picture index points outside the pictures after the first";
  }
  return {};
}

bool WriteExifUserComment(const std::string& comment, const std::string& sourcePath,
                          const std::string& destinationPath) {
  JpegExifFile f;
  std::vector<uint8_t> header;
  if (!f.Parse(sourcePath) || !CommentedHeader(f, comment, header)) return false;
  return WriteJpeg(f, header, {{sourcePath, f.sosPosition, UINT64_MAX, f.fileSize}}, destinationPath);
}

bool WriteExifUserCommentTo(JpegExifFile& f, const std::string& comment, int fd) {
  std::vector<uint8_t> header;
  if (!CommentedHeader(f, comment, header)) return false;
  return WriteJpegTo(f, header, {{f.path, f.sosPosition, UINT64_MAX, f.fileSize}}, fd, f.path);
}

bool ReplicateExif(const std::string& exifSourcePath, const std::string& imageSourcePath,
                   const std::string& destinationPath, int orientation,
                   JpegExifFile::ThumbnailPolicy thumbnail, const JpegTrailer& trailer) {
  JpegExifFile a, b;
  if (!a.Parse(exifSourcePath) || !b.Parse(imageSourcePath)) return false;
  if (b.sosPosition == 0) return false;
  uint32_t width = 0, height = 0;
  // Without pixel-dimension tags there is nothing to update; the rest is still carried over.
  bool haveDims = a.GetPixelDimensions(width, height);
  a.segments = std::move(b.segments);
  b.segments.clear();
  if (orientation != -1) {
    a.SetOrientation(static_cast<uint16_t>(orientation));
    // XMP that still said 6 or 8 would make viewers that prefer it turn the photo again.
    a.SetXmpOrientation(static_cast<uint16_t>(orientation));
  }
  if (haveDims) {
    Trace("Image Dims read from exif: %d x %d", static_cast<int>(width), static_cast<int>(height));
    a.SetPixelDimensions(b.frameWidth, b.frameHeight);
  }
  using Policy = JpegExifFile::ThumbnailPolicy;
  if (thumbnail == Policy::Drop) {
    a.DropThumbnail();
  } else if ((thumbnail == Policy::Rotate90 || thumbnail == Policy::Rotate270) && !a.thumbnailData.empty()) {
    std::vector<uint8_t> rotated;
    auto code = thumbnail == Policy::Rotate90 ? JpegTransformCode::Rotate90 : JpegTransformCode::Rotate270;
    if (JpegLosslessTransform(a.thumbnailData.data(), a.thumbnailData.size(), code, rotated))
      a.SetThumbnailData(std::move(rotated));
    else
      // It was unusable before and is no worse now; dropping it would lose IFD1's other tags.
      ExifNotice(3, "EXIF thumbnail could not be turned; kept as it was", a.path);
  }
  std::vector<uint8_t> header;
  if (!a.BuildHeader(header)) return false;
  std::vector<ScanPart> parts = {{imageSourcePath, b.sosPosition, UINT64_MAX, b.fileSize}};
  if (!trailer.path.empty() && trailer.length > 0) {
    struct stat st {};
    if (stat(imageSourcePath.c_str(), &st) != 0) return false;
    const uint64_t newTrailer = header.size() + (uint64_t(st.st_size) - b.sosPosition);
    if (trailer.mpHeader && !FixMpIndex(header, *trailer.mpHeader, trailer.offset, newTrailer)) {
      Trace("Multi-picture index cannot be carried over");
      return false;
    }
    if (trailer.path == exifSourcePath)
      FollowTrailerPointers(header, a, trailer.path, trailer.offset, newTrailer);
    parts.push_back({trailer.path, trailer.offset, trailer.length});
  }
  return WriteJpeg(a, header, parts, destinationPath);
}

bool AppendScanData(const std::string& sourcePath, uint64_t sosPosition, const std::string& destinationPath) {
  int src = open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) return false;
  int dst = open(destinationPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (dst < 0) {
    close(src);
    return false;
  }
  bool ok = CopyRange(src, sosPosition, dst);
  if (close(dst) != 0) ok = false;
  close(src);
  return ok;
}

void SetRewriteCheckTamperForTest(std::function<void(int fd)> tamper) {
  RewriteCheckTamper() = std::move(tamper);
}

}  // namespace brisko
