#include "imagemeta/jpeg_exif_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "imagemeta/jpeg_exif_file_internal.h"

namespace brisko {

namespace exif_detail {

namespace {

DebugTraceHook& TraceHook() {
  static DebugTraceHook hook;
  return hook;
}

ExifNoticeHook& NoticeHook() {
  static ExifNoticeHook hook;
  return hook;
}

}  // namespace

void Trace(const char* format, ...) {
  if (!TraceHook()) return;
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  TraceHook()(buf);
}

uint32_t EntryNumber(const ExifEntry& e) {
  if (e.type == 3 && e.data.size() >= 2) return Get16(e.data.data(), e.byteOrder);
  if (e.data.size() >= 4) return Get32(e.data.data(), e.byteOrder);
  return 0;
}

bool HasTag(const std::vector<ExifEntry>& list, uint16_t tag) {
  return std::any_of(list.begin(), list.end(), [tag](const ExifEntry& e) { return e.tag == tag; });
}

void InsertSorted(std::vector<ExifEntry>& list, ExifEntry e) {
  auto it = std::find_if(list.begin(), list.end(), [&](const ExifEntry& x) { return x.tag > e.tag; });
  list.insert(it, std::move(e));
}

ExifEntry PointerEntry(uint16_t tag, char order) {
  ExifEntry e;
  e.tag = tag;
  e.type = 4;
  e.count = 1;
  e.byteOrder = order;
  e.data.assign(4, 0);
  return e;
}

}  // namespace exif_detail

using namespace exif_detail;

namespace {

constexpr uint16_t kSOF0 = 0xFFC0;
constexpr uint16_t kDQT = 0xFFDB;
constexpr uint16_t kDHT = 0xFFC4;
constexpr uint16_t kDRI = 0xFFDD;
constexpr uint16_t kCOM = 0xFFFE;
// A header of more segments than this is not a photo; it would only cost memory.
constexpr size_t kMaxSegments = 65536;
// Segments before the scan are held in memory; no real header comes near this.
constexpr uint64_t kMaxHeaderBytes = uint64_t{64} << 20;

bool IsFrameMarker(uint16_t m) {
  return m >= 0xFFC0 && m <= 0xFFCF && m != 0xFFC4 && m != 0xFFC8 && m != 0xFFCC;
}

// Reads through a file with pread; the header part of a JPEG is read in small pieces.
class FileReader {
 public:
  explicit FileReader(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
  uint64_t Pos() const { return m_pos; }
  uint64_t Size() const { return m_size; }
  void Seek(uint64_t pos) { m_pos = pos; }
  bool Read(uint8_t* out, size_t n) {
    if (n > m_size || m_pos > m_size - n) return false;
    size_t done = 0;
    while (done < n) {
      if (m_pos + done >= m_bufStart && m_pos + done < m_bufStart + m_bufLen) {
        size_t off = static_cast<size_t>(m_pos + done - m_bufStart);
        size_t take = std::min(n - done, m_bufLen - off);
        std::memcpy(out + done, m_buf + off, take);
        done += take;
        continue;
      }
      ssize_t got = pread(m_fd, m_buf, sizeof m_buf, static_cast<off_t>(m_pos + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      m_bufStart = m_pos + done;
      m_bufLen = static_cast<size_t>(got);
    }
    m_pos += n;
    return true;
  }

 private:
  int m_fd;
  uint64_t m_size;
  uint64_t m_pos = 0;
  uint8_t m_buf[16384];
  uint64_t m_bufStart = 0;
  size_t m_bufLen = 0;
};

// The EOI marker that ends the image: normally the file's last two bytes. Cameras append maker
// data after it; FF D9 cannot occur inside entropy-coded data, so the last one found stands for the
// end of the image. Returns `size - 2` (a non-EOI position) when there is none.
uint64_t FindLastEoi(int fd, uint64_t from, uint64_t size) {
  uint8_t buf[8192];
  uint64_t end = size;
  while (end > from + 1) {
    uint64_t start = end - from > sizeof buf ? end - sizeof buf : from;
    size_t n = static_cast<size_t>(end - start);
    ssize_t got = pread(fd, buf, n, static_cast<off_t>(start));
    if (got != static_cast<ssize_t>(n)) break;
    for (size_t i = n - 1; i > 0; --i) {
      if (buf[i - 1] == 0xFF && buf[i] == 0xD9) return start + i - 1;
    }
    if (start == from) break;
    end = start + 1;  // keep one byte of overlap for a marker split across blocks
  }
  return size - 2;
}

int MakeCode(const std::vector<uint8_t>& data) {
  char four[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < 4 && i < data.size(); ++i) four[i] = static_cast<char>(data[i]);
  static const std::pair<const char*, int> kTable[] = {
      {"FUJI", kMakeFuji},  {"CANO", kMakeCanon}, {"PENT", kMakePentax}, {"RICO", kMakeRicoh},
      {"NIKO", kMakeNikon}, {"SONY", kMakeSony},  {"KODA", kMakeKodak},  {"OLYM", kMakeOlympus},
  };
  for (const auto& [text, code] : kTable) {
    if (strncasecmp(four, text, 4) == 0) return code;
  }
  return kMakeOther;
}

std::string TrimSpaces(std::string s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

std::string LowerExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// One directory read from an EXIF block. Offsets are relative to the block (the APP1 payload).
struct DirReader {
  const std::vector<uint8_t>& block;
  uint64_t blockFilePos;  // file offset of block[0]
  char order;
  const char* label;  // trace prefix, e.g. "Exif IFD"
  // Bytes entries may still copy: entries pointing at the same data over and over must not turn
  // one 64 KB block into gigabytes.
  uint64_t& budget;

  // Reads the directory at block offset `at`; entries' offsets count from block offset `base`.
  // Returns the next-directory offset (0 when absent or unreadable).
  uint32_t Read(size_t base, uint64_t at, std::vector<ExifEntry>& out, const char* countText) const {
    if (at + 2 > block.size()) {
      Trace("%s directory offset outside the EXIF block", label);
      return 0;
    }
    size_t pos = static_cast<size_t>(at);
    size_t count = Get16(&block[pos], order);
    Trace(countText, static_cast<int>(count));
    size_t fit = (block.size() - pos - 2) / 12;
    if (count > fit) {
      Trace("%s count %zu exceeds the EXIF block; %zu entries read", label, count, fit);
      count = fit;
    }
    out.reserve(out.size() + count);
    for (size_t i = 0; i < count; ++i) {
      ExifEntry e;
      if (ReadEntry(base, pos + 2 + 12 * i, e)) out.push_back(std::move(e));
    }
    size_t next = pos + 2 + 12 * count;
    if (next + 4 > block.size()) return 0;
    return Get32(&block[next], order);
  }

  bool ReadEntry(size_t base, size_t at, ExifEntry& e) const {
    const uint8_t* p = &block[at];
    e.tag = Get16(p, order);
    e.type = Get16(p + 2, order);
    e.count = Get32(p + 4, order);
    e.byteOrder = order;
    e.entryOffset = static_cast<uint32_t>(at - kTiffStart);
    uint32_t typeSize = ExifTypeSize(e.type);
    uint64_t size = uint64_t(e.count) * typeSize;
    size_t valueAt = at + 8;
    uint64_t dataAt = valueAt;
    e.value = Get32(p + 8, order);
    uint32_t baseFile = static_cast<uint32_t>(blockFilePos + base);
    if (size > 4) {
      dataAt = uint64_t(base) + e.value;
      e.position = e.value + baseFile;
      if (dataAt > block.size() || size > block.size() - dataAt) {
        Trace("%s tag 0x%x: data outside the EXIF block; entry skipped", label, e.tag);
        return false;
      }
    } else if (typeSize == 1) {
      e.value = p[8];
      e.position = 0;
    } else if (typeSize == 2) {
      e.value = Get16(p + 8, order);
      e.position = 0;
    } else if (typeSize == 4) {
      e.position = e.value + baseFile;
    } else {
      e.position = 0;
      size = 0;
    }
    if (size > budget) {
      Trace("%s tag 0x%x: EXIF data repeated beyond the block's size; entry skipped", label, e.tag);
      return false;
    }
    budget -= size;
    e.data.assign(block.begin() + static_cast<ptrdiff_t>(dataAt),
                  block.begin() + static_cast<ptrdiff_t>(dataAt + size));
    Trace("%s Tag Number: 0x%x, type: %d, count: %d, Value: %d, Position: 0x%x", label, e.tag, e.type,
          static_cast<int>(e.count), static_cast<int>(e.value), static_cast<unsigned>(blockFilePos + at));
    return true;
  }
};

}  // namespace

void SetDebugTraceHook(DebugTraceHook hook) {
  exif_detail::TraceHook() = std::move(hook);
}
void SetExifNoticeHook(ExifNoticeHook hook) {
  exif_detail::NoticeHook() = std::move(hook);
}
void ExifNotice(int level, const std::string& text, const std::string& path) {
  if (exif_detail::NoticeHook()) exif_detail::NoticeHook()(level, text, path);
}
bool DebugTraceEnabled() {
  return static_cast<bool>(exif_detail::TraceHook());
}
void DebugTrace(const std::string& text) {
  if (exif_detail::TraceHook()) exif_detail::TraceHook()(text);
}

uint32_t ExifTypeSize(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
      return 4;
    case 5:
    case 10:
    case 12:
      return 8;
    default:
      return 0;
  }
}

bool JpegExifFile::Parse(const std::string& filePath) {
  *this = JpegExifFile{};
  int fd = open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Trace("File open failed");
    return false;
  }
  const bool ok = ParseDescriptor(fd, filePath);
  close(fd);
  return ok;
}

bool JpegExifFile::ParseDescriptor(int fd, const std::string& filePath) {
  *this = JpegExifFile{};
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Trace("File open failed");
    return false;
  }
  path = filePath;
  m_sourceDev = st.st_dev;
  m_sourceIno = st.st_ino;
  fileSize = static_cast<uint64_t>(st.st_size);
  FileReader in(fd, static_cast<uint64_t>(st.st_size));
  bool ok = false;
  bool afterSos = false;
  for (;;) {
    if (segments.size() >= kMaxSegments) {
      Trace("Too many segments");
      break;
    }
    uint64_t p = in.Pos();
    JpegSegment seg;
    uint8_t two[2];
    if (!in.Read(two, 2)) {
      Trace("Read marker failed at position 0x%x", static_cast<unsigned>(p));
      break;
    }
    // 0xFF fill bytes may stand before any marker.
    while (two[0] == 0xFF && two[1] == 0xFF) {
      if (!in.Read(&two[1], 1)) break;
    }
    seg.marker = Be16(two);
    seg.position = p;
    if (afterSos && seg.marker != kEOI) {
      // The last two bytes of the file must be EOI; anything else is a truncated or damaged file.
      Trace("Read marker failed at position 0x%x", static_cast<unsigned>(p));
      break;
    }
    if (seg.marker != kSOS && seg.marker != kEOI && seg.marker != kSOI) {
      if (!in.Read(two, 2) || Be16(two) < 2) {
        Trace("ReadMotorolaUnsignedShort failed");
        break;
      }
      if (in.Pos() + Be16(two) > kMaxHeaderBytes) {
        Trace("Header too large");
        break;
      }
      seg.length = static_cast<uint16_t>(Be16(two) - 2);
      seg.data.resize(seg.length);
      if (!in.Read(seg.data.data(), seg.length)) {
        Trace("Read marker failed at position 0x%x", static_cast<unsigned>(p));
        break;
      }
    }
    const uint16_t marker = seg.marker;
    segments.push_back(std::move(seg));
    const JpegSegment& s = segments.back();
    const unsigned at = static_cast<unsigned>(p + 2);
    if (marker == kSOI) {
      Trace("SOI marker found at 0x%x", at);
    } else if (marker == kEOI) {
      Trace("EOI marker found at 0x%x", at);
      ok = true;
      break;
    } else if (marker == kSOS) {
      Trace("SOS marker found at 0x%x", at);
      sosPosition = p + 2;
      if (in.Size() < 2 || in.Size() - 2 < sosPosition) {
        Trace("Read marker failed at position 0x%x", at);
        break;
      }
      uint64_t eoi = FindLastEoi(fd, sosPosition, in.Size());
      if (eoi + 2 != in.Size()) Trace("%u bytes after EOI", static_cast<unsigned>(in.Size() - eoi - 2));
      in.Seek(eoi);
      afterSos = true;
    } else if (marker == kDQT || marker == kDHT) {
      Trace(marker == kDQT ? "DQT marker found at 0x%x" : "DHT marker found at 0x%x", at);
    } else if (IsFrameMarker(marker)) {
      Trace("SOF marker found at 0x%x", at);
      if (s.data.size() >= 5) {
        frameHeight = Be16(&s.data[1]);
        frameWidth = Be16(&s.data[3]);
        if (marker == kSOF0) {
          sofHeight = frameHeight;
          sofWidth = frameWidth;
          Trace("Image Dimensions from SOF: %d x %d pixels", sofWidth, sofHeight);
        }
      }
    } else if (marker == kDRI) {
      Trace("DRI marker found");
    } else if (marker == kCOM) {
      Trace("Comment marker found");
    } else if (marker == kAPP1) {
      ParseExifBlock(s.data, p + 4);
    } else if (marker >= 0xFFE2 && marker <= 0xFFEF) {
      Trace("%x OTHER APP Marker Found at 0x%x", marker, at);
    } else {
      Trace("%x NON APP Marker Found at 0x%x", marker, at);
    }
  }
  return ok;
}

void JpegExifFile::ParseExifBlock(const std::vector<uint8_t>& block, uint64_t blockFilePos) {
  Trace("APP1 marker found at 0x%x", static_cast<unsigned>(blockFilePos - 2));
  if (block.size() < 6 || std::memcmp(block.data(), "Exif", 4) != 0) {
    Trace("Invalid Exif Header");
    return;
  }
  if (byteOrder != 0) {
    Trace("Second EXIF block ignored");
    return;
  }
  const size_t t = kTiffStart;
  if (block.size() < t + 8) {
    Trace("Invalid Tiff Header - no M/I");
    return;
  }
  char order = 0;
  if (block[t] == 'I') {
    order = 'I';
    Trace("Tiff Header Byte Align = Intel");
  } else if (block[t] == 'M') {
    order = 'M';
    Trace("Tiff Header Byte Align = Motorola");
  } else {
    Trace("Invalid Tiff Header - no M/I");
    return;
  }
  if (Get16(&block[t + 2], order) != 42) {
    Trace("Invalid Tiff Header - check short failed");
    return;
  }
  byteOrder = order;
  tiffPosition = blockFilePos + t;
  m_tiff.assign(block.begin() + t, block.end());
  auto dirAt = [&](uint32_t offset) { return uint64_t(t) + offset + 2 <= block.size() ? offset : 0u; };
  // Every byte once for the directories and once more for the entries of a Fuji maker note.
  uint64_t budget = 2 * uint64_t(block.size());
  DirReader ifd{block, blockFilePos, order, "IFD", budget};
  uint32_t ifd0 = Get32(&block[t + 4], order);
  m_dirOffset[kIfd0] = dirAt(ifd0);
  uint32_t next = ifd.Read(t, uint64_t(t) + ifd0, ifd0Entries, "Image File Directory Count: %d");
  uint32_t exifOffset = 0, gpsOffset = 0;
  for (const ExifEntry& e : ifd0Entries) {
    if (e.tag == exif_tag::kExifIfd) exifOffset = e.value;
    if (e.tag == exif_tag::kGpsIfd) gpsOffset = e.value;
    if (e.tag == exif_tag::kMake) {
      cameraMake = MakeCode(e.data);
      Trace("Camera make: %d", cameraMake);
    }
  }
  if (next != 0) {
    m_dirOffset[kIfd1] = dirAt(next);
    DirReader thumb{block, blockFilePos, order, "Thumbnail IFD", budget};
    uint32_t after =
        thumb.Read(t, uint64_t(t) + next, thumbnailEntries, "Thumbnail Image File Directory Count: %d");
    if (after != 0) Trace("Should be null offset not null!!");
    const ExifEntry* off = nullptr;
    const ExifEntry* len = nullptr;
    bool strips = false;
    for (const ExifEntry& e : thumbnailEntries) {
      if (e.tag == exif_tag::kThumbnailOffset) off = &e;
      if (e.tag == exif_tag::kThumbnailLength) len = &e;
      if (e.tag == 0x0111 || e.tag == 0x0117) strips = true;
    }
    if (off && len && !strips) {
      uint64_t start = uint64_t(t) + EntryNumber(*off);
      uint64_t size = EntryNumber(*len);
      if (size > 0 && start <= block.size() && size <= block.size() - start) {
        thumbnailData.assign(block.begin() + static_cast<ptrdiff_t>(start),
                             block.begin() + static_cast<ptrdiff_t>(start + size));
        m_thumbOffset = static_cast<uint32_t>(start - t);
        m_thumbSize = static_cast<uint32_t>(size);
      }
    }
    // Strips and empty thumbnails stay as the camera wrote them; only a JPEG one is carried.
    if (thumbnailData.empty() && (off || strips)) Trace("Thumbnail data kept as it is");
  }
  uint32_t interopOffset = 0;
  if (exifOffset != 0) {
    m_dirOffset[kExif] = dirAt(exifOffset);
    DirReader exif{block, blockFilePos, order, "Exif IFD", budget};
    exif.Read(t, uint64_t(t) + exifOffset, exifEntries, "Exif Image File Directory Count: %d");
    for (const ExifEntry& e : exifEntries) {
      if (e.tag == exif_tag::kMakerNote && e.data.size() > 4 && !makerNoteOffset) makerNoteOffset = e.value;
      if (e.tag == exif_tag::kInteropIfd) interopOffset = e.value;
    }
  }
  if (makerNoteOffset && cameraMake == kMakeFuji) {
    // Fuji notes carry their own little-endian directory whose offsets count from the note's start.
    size_t base = t + *makerNoteOffset;
    DirReader mn{block, blockFilePos, 'I', "Maker Note IFD", budget};
    mn.Read(base, uint64_t(base) + 12, makerNoteEntries, "Maker Note Image File Directory Count: %d");
  }
  if (gpsOffset != 0) {
    m_dirOffset[kGps] = dirAt(gpsOffset);
    DirReader gps{block, blockFilePos, order, "GPS IFD", budget};
    gps.Read(t, uint64_t(t) + gpsOffset, gpsEntries, "GPS Image File Directory Count: %d");
  }
  if (interopOffset != 0) {
    m_dirOffset[kInterop] = dirAt(interopOffset);
    DirReader interop{block, blockFilePos, order, "Interop IFD", budget};
    interop.Read(t, uint64_t(t) + interopOffset, interopEntries, "Interop Image File Directory Count: %d");
  }
}

ExifEntry* JpegExifFile::FindIn(std::vector<ExifEntry>& list, uint16_t tag) {
  for (ExifEntry& e : list) {
    if (e.tag == tag) return &e;
  }
  return nullptr;
}

ExifEntry* JpegExifFile::FindTag(uint16_t tag) {
  if (ExifEntry* e = FindIn(exifEntries, tag)) return e;
  return FindIn(ifd0Entries, tag);
}

const ExifEntry* JpegExifFile::FindTag(uint16_t tag) const {
  return const_cast<JpegExifFile*>(this)->FindTag(tag);
}

const ExifEntry* JpegExifFile::FindGpsTag(uint16_t tag) const {
  return const_cast<JpegExifFile*>(this)->FindIn(const_cast<std::vector<ExifEntry>&>(gpsEntries), tag);
}

bool JpegExifFile::GetOrientation(uint16_t& orientation) const {
  const ExifEntry* e = FindTag(exif_tag::kOrientation);
  if (!e || e->data.size() < 2) return false;
  orientation = Get16(e->data.data(), byteOrder);
  return true;
}

bool JpegExifFile::SetOrientation(uint16_t orientation) {
  ExifEntry* e = FindTag(exif_tag::kOrientation);
  if (!e || e->data.size() < 2) return false;
  Put16(e->data.data(), orientation, byteOrder);
  return true;
}

bool JpegExifFile::GetPixelDimensions(uint32_t& width, uint32_t& height) const {
  const ExifEntry* x = FindTag(exif_tag::kPixelXDimension);
  const ExifEntry* y = FindTag(exif_tag::kPixelYDimension);
  if (!x || !y) return false;
  auto get = [this](const ExifEntry& e, uint32_t& out) {
    if (e.type == 3) {
      if (e.data.size() < 2) return false;
      out = Get16(e.data.data(), byteOrder);
    } else {
      if (e.data.size() < 4) return false;
      out = Get32(e.data.data(), byteOrder);
    }
    return true;
  };
  return get(*x, width) && get(*y, height);
}

bool JpegExifFile::SetPixelDimensions(uint32_t width, uint32_t height) {
  auto set = [this](uint16_t tag, uint32_t v) {
    ExifEntry* e = FindTag(tag);
    if (!e) return false;
    if (e->type == 3) {
      if (e->data.size() < 2) return false;
      Put16(e->data.data(), static_cast<uint16_t>(v), byteOrder);
    } else {
      if (e->data.size() < 4) return false;
      Put32(e->data.data(), v, byteOrder);
    }
    return true;
  };
  if (!set(exif_tag::kPixelXDimension, width)) return false;
  return set(exif_tag::kPixelYDimension, height);
}

bool JpegExifFile::GetUserComment(std::string& text) const {
  const ExifEntry* e = FindTag(exif_tag::kUserComment);
  if (!e || e->count <= 8 || e->data.size() <= 8) return false;
  auto begin = e->data.begin() + 8;
  auto end = std::find(begin, e->data.end(), uint8_t(0));
  text = TrimSpaces(std::string(begin, end));
  return true;
}

void JpegExifFile::SetUserComment(const std::string& text) {
  if (byteOrder == 0) byteOrder = 'I';  // a new EXIF block; any consistent order will do
  ExifEntry* e = FindTag(exif_tag::kUserComment);
  if (!e) {
    if (exifEntries.empty()) {
      // A new Exif directory carries the version that makes it one.
      ExifEntry version;
      version.tag = exif_tag::kExifVersion;
      version.type = 7;
      version.count = 4;
      version.byteOrder = byteOrder;
      version.data = {'0', '2', '3', '2'};
      exifEntries.push_back(std::move(version));
    }
    ExifEntry fresh;
    fresh.tag = exif_tag::kUserComment;
    fresh.type = 7;
    fresh.byteOrder = byteOrder;
    // Sorted position rather than last: readers and validators expect ascending tags.
    InsertSorted(exifEntries, std::move(fresh));
    e = FindIn(exifEntries, exif_tag::kUserComment);
  }
  static const uint8_t kPrefix[8] = {'A', 'S', 'C', 'I', 'I', 0, 0, 0};
  e->data.assign(kPrefix, kPrefix + 8);
  e->data.insert(e->data.end(), text.begin(), text.end());
  // The comment is bytes; an entry stored with another type would be miscounted.
  e->type = 7;
  e->count = static_cast<uint32_t>(e->data.size());
}

bool JpegExifFile::GetDateTime(std::string& text) const {
  const ExifEntry* e = FindTag(exif_tag::kDateTime);
  if (!e) return false;
  size_t n = std::min<size_t>(20, e->data.size());
  auto end = std::find(e->data.begin(), e->data.begin() + static_cast<ptrdiff_t>(n), uint8_t(0));
  text = TrimSpaces(std::string(e->data.begin(), end));
  return true;
}

bool JpegExifFile::GetDateTaken(std::time_t& time) const {
  for (uint16_t tag : {exif_tag::kDateTimeOriginal, exif_tag::kDateTimeDigitized, exif_tag::kDateTime}) {
    const ExifEntry* e = FindTag(tag);
    if (!e) continue;
    const size_t n = std::min<size_t>(20, e->data.size());
    const auto end = std::find(e->data.begin(), e->data.begin() + static_cast<ptrdiff_t>(n), uint8_t(0));
    const std::string text(e->data.begin(), end);
    std::tm tm{};
    // A blank or zeroed date ("0000:00:00 00:00:00", as some cameras write) is none.
    if (std::sscanf(text.c_str(), "%d:%d:%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6 ||
        tm.tm_year < 1900 || tm.tm_mon < 1 || tm.tm_mday < 1)
      continue;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    time = std::mktime(&tm);
    return true;
  }
  return false;
}

bool JpegExifFile::ParseTiff(const std::vector<uint8_t>& tiff) {
  static const uint8_t kHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
  std::vector<uint8_t> block(sizeof kHeader + tiff.size());
  std::copy(kHeader, kHeader + sizeof kHeader, block.begin());
  std::copy(tiff.begin(), tiff.end(), block.begin() + sizeof kHeader);
  ParseExifBlock(block, 0);
  return byteOrder != 0;
}

bool JpegExifFile::GetGpsPosition(float& latitude, float& longitude) const {
  const ExifEntry* latRef = FindGpsTag(1);
  const ExifEntry* lat = FindGpsTag(2);
  const ExifEntry* lonRef = FindGpsTag(3);
  const ExifEntry* lon = FindGpsTag(4);
  if (!latRef || !lat || !lonRef || !lon) return false;
  auto degrees = [this](const ExifEntry& e, double& out) {
    if (e.data.size() < 24) return false;
    double part[3];
    for (int i = 0; i < 3; ++i) {
      uint32_t num = Get32(&e.data[8 * i], byteOrder);
      uint32_t den = Get32(&e.data[8 * i + 4], byteOrder);
      if (den == 0) {
        // 0/0 is written by some devices for an unused field; any other x/0 is no position.
        if (num != 0) return false;
        part[i] = 0;
      } else {
        part[i] = double(num) / double(den);
      }
    }
    out = part[0] + (60 * part[1] + part[2]) / 3600;
    return true;
  };
  double la = 0, lo = 0;
  if (!degrees(*lat, la) || !degrees(*lon, lo)) return false;
  if (latRef->data.empty() || latRef->data[0] != 'N') la = -la;
  if (lonRef->data.empty() || lonRef->data[0] != 'E') lo = -lo;
  latitude = static_cast<float>(la);
  longitude = static_cast<float>(lo);
  return true;
}

// ---- file-level operations ----

bool ReadJpegSofDimensions(const std::string& path, int& width, int& height) {
  JpegExifFile f;
  if (!f.Parse(path)) return false;
  width = f.sofWidth;
  height = f.sofHeight;
  return true;
}

bool ReadExifUserComment(const std::string& path, std::string& text) {
  if (LowerExtension(path) != ".jpg") return false;
  JpegExifFile f;
  return f.Parse(path) && f.GetUserComment(text);
}

bool ReadExifGpsPosition(const std::string& path, float& latitude, float& longitude) {
  std::string ext = LowerExtension(path);
  if (ext != ".jpg" && ext != ".jpeg") return false;
  JpegExifFile f;
  return f.Parse(path) && f.GetGpsPosition(latitude, longitude);
}

bool ReadExifDateTime(const std::string& path, std::time_t& time) {
  return LowerExtension(path) == ".jpg" && ReadJpegDateTime(path, time);
}

bool ReadJpegDateTime(const std::string& path, std::time_t& time) {
  JpegExifFile f;
  return f.Parse(path) && f.GetDateTaken(time);
}

bool ReadTiffDateTaken(const std::vector<uint8_t>& tiff, std::time_t& time) {
  JpegExifFile f;
  return f.ParseTiff(tiff) && f.GetDateTaken(time);
}

bool JpegNeedsRotation(const std::string& path) {
  JpegExifFile f;
  uint16_t o = 0;
  return f.Parse(path) && f.GetOrientation(o) && (o == 6 || o == 8);
}

}  // namespace brisko
