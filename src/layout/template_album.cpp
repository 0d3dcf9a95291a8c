#include "layout/template_album.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "imaging/image_paint.h"
#include "support/xml_document.h"

namespace brisko {

namespace {

// Closes a descriptor at the end of a scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool ReadAt(int fd, int64_t offset, void* buf, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, static_cast<char*>(buf) + done, size - done, off_t(offset) + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

int32_t LoadInt32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

int TruncateToInt(double v) {
  if (!std::isfinite(v)) return 0;
  if (v > 1e9) return 1'000'000'000;
  if (v < -1e9) return -1'000'000'000;
  return int(v);  // toward zero
}

bool OpenForReading(const std::string& path, Fd& fd, int64_t& size) {
  fd.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd.fd < 0) return false;
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = st.st_size;
  return true;
}

// The directory reader's habits: an optional element keeps its default when absent; a
// required one that is missing takes the text of the element found last.
class DirectoryReader {
 public:
  explicit DirectoryReader(XmlDocument& doc) : m_doc(doc) {}

  std::string Text(const char* name) {
    m_doc.FindElem(name);
    return m_doc.GetData();
  }
  int Int(const char* name) { return ClampInt(ParseDirectoryInt(Text(name))); }
  int64_t Int64(const char* name) { return ParseDirectoryInt(Text(name)); }
  uint32_t Colour(const char* name) { return uint32_t(ParseDirectoryInt(Text(name))); }

  int OptInt(const char* name, int def) {
    return m_doc.FindElem(name) ? ClampInt(ParseDirectoryInt(m_doc.GetData())) : def;
  }
  uint32_t OptColour(const char* name, uint32_t def) {
    return m_doc.FindElem(name) ? uint32_t(ParseDirectoryInt(m_doc.GetData())) : def;
  }
  std::string OptText(const char* name, const std::string& def) {
    return m_doc.FindElem(name) ? m_doc.GetData() : def;
  }
  double OptReal(const char* name, double def) {
    return m_doc.FindElem(name) ? ParseDirectoryReal(m_doc.GetData()) : def;
  }

  // A count, bounded; the list it counts also ends at its first missing element.
  int Count(const char* name) {
    const int64_t n = ParseDirectoryInt(Text(name));
    return int(std::clamp<int64_t>(n, 0, kMaxListItems));
  }
  bool Enter(const std::string& name) { return m_doc.FindElem(name) && m_doc.IntoElem(); }
  void Leave() { m_doc.OutOfElem(); }
  XmlDocument& Doc() { return m_doc; }

  static int ClampInt(int64_t v) {
    return int(std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  }

 private:
  XmlDocument& m_doc;
};

void ReadRect(DirectoryReader& r, TemplateRect& rect) {
  rect.m_fCropHeightPercentage = r.OptReal("m_fCropHeightPercentage", 0);
  rect.m_fCropWidthPercentage = r.OptReal("m_fCropWidthPercentage", 0);
  rect.m_fCropXOffsetPercentage = r.OptReal("m_fCropXOffsetPercentage", 0);
  rect.m_fCropYOffsetPercentage = r.OptReal("m_fCropYOffsetPercentage", 0);
}

// A block below the container header can't hold an image: writers use it for "no image".
constexpr int64_t kFirstBlockOffset = 12;

// Records the block at `offset` as the image's on-demand source when it holds an image.
void RecordSource(TemplateImage& image, const std::string& albumPath, int fd, int64_t fileSize,
                  int64_t offset) {
  image.ClearSource();
  image.Unload();
  ImageBlockHeader header;
  if (offset < kFirstBlockOffset || !ReadImageBlockHeader(fd, fileSize, offset, header) || header.size < 1)
    return;
  image.SetBlockSource(albumPath, offset, header.format);
}

void ReadTransSetting(DirectoryReader& r, TransSetting& s, const std::string& albumPath, int fd,
                      int64_t fileSize) {
  const int keys = r.Count("NUMTRANSSETS");
  for (int k = 0; k < keys; ++k) {
    if (!r.Enter("TRANSSET_" + std::to_string(k))) break;
    TransKey key;
    key.m_TransRGB = r.Colour("m_TransRGB");
    key.m_TransTol1 = r.Int("m_TransTol1");
    key.m_TransTol2 = r.Int("m_TransTol2");
    key.m_BrightnessTol = r.Int("m_BrightnessTol");
    s.m_TransSets.push_back(key);
    r.Leave();
  }
  s.m_iDespeckleCount = r.Int("m_iDespeckleCount");
  s.m_bTransColors = r.OptInt("m_bTransColors", 0);
  s.m_bTransRange = r.OptInt("m_bTransRange", 0);
  s.m_iRangeTol1 = r.OptInt("m_iRangeTol1", 0);
  s.m_iRangeTol2 = r.OptInt("m_iRangeTol2", 0);
  s.m_rgbTransRangeHilite = r.OptColour("m_rgbTransRangeHilite", 0);
  s.m_rgbTransRangeShadow = r.OptColour("m_rgbTransRangeShadow", 0);
  s.m_iSubtractionTol1 = r.OptInt("m_iSubtractionTol1", 0);
  s.m_iSubtractionTol2 = r.OptInt("m_iSubtractionTol2", 0);
  s.m_iSubtractionBrightnessTol = r.OptInt("m_iSubtractionBrightnessTol", 0);
  s.m_eTransSubtractionType = r.OptInt("m_eTransSubtractionType", 0);
  s.m_strImageSubtractionFolder = r.Text("m_strImageSubtractionFolder");
  s.m_iContrast = r.Int("m_iContrast");
  s.m_iBrightness = r.Int("m_iBrightness");
  s.m_RedShift = r.Int("m_RedShift");
  s.m_GreenShift = r.Int("m_GreenShift");
  s.m_BlueShift = r.Int("m_BlueShift");
  s.m_eColourType = r.OptInt("m_eColourType", 0);
  s.m_iSepiaAmount = r.OptInt("m_iSepiaAmount", 0);
  s.m_eSharpenType = r.OptInt("m_eSharpenType", 0);
  s.m_iRotateDegrees = r.Int("m_iRotateDegrees");
  RecordSource(s.m_BackgroundSubtraction, albumPath, fd, fileSize,
               r.Int64("BACKGROUND_SUBTRACTION_IMAGEOFFSET"));
}

void ReadCaption(DirectoryReader& r, TemplateCaption& c) {
  c.m_iCaptionType = r.OptInt("m_iCaptionType", 0);
  c.m_iPictureHoleIndex = r.OptInt("m_iPictureHoleIndex", 0);
  c.m_strCaption = r.Text("m_strCaption");
  c.m_iHorizAlignFlag = r.Int("m_iHorizAlignFlag");
  c.m_iVertAlignFlag = r.Int("m_iVertAlignFlag");
  c.m_iFontSize = r.Int("m_iFontSize");
  c.m_iFontOpacity = r.Int("m_iFontOpacity");
  c.m_bShadow = r.Int("m_bShadow");
  c.m_bBold = r.Int("m_bBold");
  c.m_bItalic = r.Int("m_bItalic");
  c.m_TextRGB = r.Colour("m_TextRGB");
  c.m_strFontFace = r.Text("m_strFontFace");
  ReadRect(r, c.m_Rect);
}

}  // namespace

int64_t ParseDirectoryInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 10 - 10;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < kLimit) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

double ParseDirectoryReal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  double value = 0;
  // from_chars: the same in every locale, unlike strtod.
  auto [p, ec] =
      std::from_chars(text.data() + i, text.data() + text.size(), value, std::chars_format::general);
  (void)p;
  if (ec != std::errc() || !std::isfinite(value)) return 0;
  return value;
}

PixelRect TemplateRect::ToPixels(int pageWidth, int pageHeight) const {
  PixelRect r;
  r.left = TruncateToInt(double(pageWidth) * m_fCropXOffsetPercentage);
  r.top = TruncateToInt(double(pageHeight) * m_fCropYOffsetPercentage);
  r.right = TruncateToInt(double(pageWidth) * m_fCropWidthPercentage) + r.left;
  r.bottom = TruncateToInt(double(pageHeight) * m_fCropHeightPercentage) + r.top;
  return r;
}

TemplateRect TemplateRect::FromPixels(const PixelRect& rect, int pageWidth, int pageHeight) {
  TemplateRect t;
  if (pageWidth <= 0 || pageHeight <= 0) return t;
  t.m_fCropXOffsetPercentage = double(rect.left) / pageWidth;
  t.m_fCropYOffsetPercentage = double(rect.top) / pageHeight;
  t.m_fCropWidthPercentage = double(rect.Width()) / pageWidth;
  t.m_fCropHeightPercentage = double(rect.Height()) / pageHeight;
  return t;
}

bool ReadImageBlockHeader(int fd, int64_t fileSize, int64_t offset, ImageBlockHeader& header) {
  if (offset < 0 || offset > fileSize - 8) return false;
  uint8_t raw[8];
  if (!ReadAt(fd, offset, raw, sizeof raw)) return false;
  header.size = LoadInt32(raw);
  header.format = LoadInt32(raw + 4);
  return true;
}

namespace {

bool ReadBlockBytes(int fd, int64_t fileSize, int64_t offset, const ImageBlockHeader& h,
                    std::vector<uint8_t>& data, std::string* reason) {
  if (h.size < 1 || h.size > kMaxBlockSize || offset + 8 + int64_t(h.size) > fileSize) {
    if (reason) *reason = "image block of " + std::to_string(h.size) + " bytes does not fit in the file";
    return false;
  }
  data.resize(size_t(h.size));
  if (!ReadAt(fd, offset + 8, data.data(), data.size())) {
    if (reason) *reason = std::string("cannot read image block: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool ReadImageBlockInfo(int fd, int64_t fileSize, int64_t offset, ImageHeader& header, std::string* reason,
                        const DecodeOptions& options) {
  ImageBlockHeader h;
  if (!ReadImageBlockHeader(fd, fileSize, offset, h)) {
    if (reason) *reason = "image block outside the file";
    return false;
  }
  std::vector<uint8_t> data;
  if (h.format != kFormatCompound) {
    if (!ReadBlockBytes(fd, fileSize, offset, h, data, reason) ||
        !ReadImageHeader(data.data(), data.size(), h.format, header, reason, options))
      return false;
    header.decodeBytes += data.size();
    return true;
  }
  ImageBlockHeader inner;
  const int64_t end = offset + 8 + int64_t(h.size);
  if (h.size < 16 || end > fileSize || !ReadImageBlockHeader(fd, end, offset + 8, inner) ||
      inner.format == kFormatCompound) {
    if (reason) *reason = "transparent image block is cut short";
    return false;
  }
  if (!ReadBlockBytes(fd, end, offset + 8, inner, data, reason) ||
      !ReadImageHeader(data.data(), data.size(), inner.format, header, reason, options))
    return false;
  // Colour and mask decoded, the mask's first channel kept, then both joined as RGBA.
  header.decodeBytes = uint64_t(h.size) + uint64_t(header.decodedWidth) * uint64_t(header.decodedHeight) * 8;
  return true;
}

bool DecodeImageBlock(int fd, int64_t fileSize, int64_t offset, Image& out, std::string* reason,
                      const DecodeOptions& options) {
  ImageBlockHeader h;
  if (!ReadImageBlockHeader(fd, fileSize, offset, h)) {
    if (reason) *reason = "image block outside the file";
    return false;
  }
  if (h.format != kFormatCompound) {
    std::vector<uint8_t> data;
    return ReadBlockBytes(fd, fileSize, offset, h, data, reason) &&
           DecodeImage(data.data(), data.size(), h.format, out, reason, options);
  }
  // Colour then mask, both inside this block's S bytes and neither nested again.
  if (h.size < 16 || offset + 8 + int64_t(h.size) > fileSize) {
    if (reason) *reason = "transparent image block does not fit in the file";
    return false;
  }
  const int64_t end = offset + 8 + int64_t(h.size);
  Image colour;
  std::vector<uint8_t> plane;
  int64_t at = offset + 8;
  for (int part = 0; part < 2; ++part) {
    ImageBlockHeader inner;
    if (!ReadImageBlockHeader(fd, end, at, inner) || inner.size < 1 || at + 8 + int64_t(inner.size) > end) {
      if (reason) *reason = "transparent image block is cut short";
      return false;
    }
    if (inner.format == kFormatCompound) {
      if (reason) *reason = "transparent image block nested in another";
      return false;
    }
    std::vector<uint8_t> data;
    Image decoded;
    if (!ReadBlockBytes(fd, end, at, inner, data, reason) ||
        !DecodeImage(data.data(), data.size(), inner.format, decoded, reason, options))
      return false;
    if (part == 0) {
      colour = std::move(decoded);
    } else {
      if (decoded.width != colour.width || decoded.height != colour.height) {
        if (reason) *reason = "mask size differs from the colour image";
        return false;
      }
      // Only the mask's first channel is kept, so the whole mask is never held beside the result.
      plane = ExtractPlane(decoded, 0);
    }
    at += 8 + int64_t(inner.size);
  }
  if (!CombineWithPlane(colour, plane, out)) {
    if (reason) *reason = "cannot combine colour and mask";
    return false;
  }
  return true;
}

void TemplateImage::SetBlockSource(const std::string& albumPath, int64_t offset, int format) {
  m_path = albumPath;
  m_offset = offset;
  m_format = format;
}

void TemplateImage::SetFileSource(const std::string& path, int format) {
  m_path = path;
  m_offset = -1;
  m_format = format;
}

void TemplateImage::ClearSource() {
  m_path.clear();
  m_offset = -1;
  m_format = kFormatUnknown;
}

void TemplateImage::SetDecodeTarget(int width, int height) {
  m_targetWidth = width;
  m_targetHeight = height;
}

bool TemplateImage::LoadIntoMemory(std::string* reason) {
  m_image = Image();
  if (m_path.empty()) {
    if (reason) *reason = "no image";
    return false;
  }
  DecodeOptions options;
  options.targetWidth = m_targetWidth;
  options.targetHeight = m_targetHeight;
  Image result;
  bool ok = false;
  if (m_offset < 0) {
    ok = DecodeImageFile(m_path, m_format, result, reason, options);
  } else {
    Fd fd;
    int64_t size = 0;
    if (!OpenForReading(m_path, fd, size)) {
      if (reason) *reason = "cannot open " + m_path + ": " + std::strerror(errno);
      return false;
    }
    ok = DecodeImageBlock(fd.fd, size, m_offset, result, reason, options);
  }
  if (ok) m_image = std::move(result);
  return ok;
}

bool TemplateImage::ReadHeader(ImageHeader& header, std::string* reason) const {
  if (m_path.empty()) {
    if (reason) *reason = "no image";
    return false;
  }
  DecodeOptions options;
  options.targetWidth = m_targetWidth;
  options.targetHeight = m_targetHeight;
  if (m_offset < 0) {
    if (!ReadImageFileHeader(m_path, m_format, header, reason, options)) return false;
    struct stat st {};
    if (::stat(m_path.c_str(), &st) == 0) header.decodeBytes += uint64_t(st.st_size);
    return true;
  }
  Fd fd;
  int64_t size = 0;
  if (!OpenForReading(m_path, fd, size)) {
    if (reason) *reason = "cannot open " + m_path + ": " + std::strerror(errno);
    return false;
  }
  return ReadImageBlockInfo(fd.fd, size, m_offset, header, reason, options);
}

void TemplateImage::CopyFrom(const TemplateImage& other) {
  struct stat st {};
  if (!other.m_path.empty() && ::stat(other.m_path.c_str(), &st) == 0) {
    m_path = other.m_path;
    m_offset = other.m_offset;
    m_format = other.m_format;
  } else {
    ClearSource();
  }
  m_targetWidth = other.m_targetWidth;
  m_targetHeight = other.m_targetHeight;
  m_image = other.m_image;
}

void CTemplate::Load(XmlDocument& doc, const std::string& albumPath, int fd, int64_t fileSize,
                     ThumbnailBudget& budget) {
  DirectoryReader r(doc);
  m_strAlbumPath = albumPath;
  m_iTemplateVersion = r.Int("TEMPLATE_VERSION");
  m_strName = r.Text("NAME");
  m_strCategory = r.Text("CATEGORY");
  m_strArtist = r.Text("ARTIST");
  m_bUseSinglePhotoImage = r.OptInt("USESINGLEPHOTOIMAGE", 0);
  m_iOrigCx = r.OptInt("ORIG_CX", m_iOrigCx);
  m_iOrigCy = r.OptInt("ORIG_CY", m_iOrigCy);
  m_iAppVersion = r.Int("APPVERSION");

  RecordSource(m_Thumbnail, albumPath, fd, fileSize, r.Int64("THUMBNAIL_IMAGEOFFSET"));
  ImageBlockHeader th;
  auto seen =
      m_Thumbnail.HasSource() ? budget.decoded.find(m_Thumbnail.SourceOffset()) : budget.decoded.end();
  if (seen != budget.decoded.end()) {
    const uint64_t pixels = uint64_t(seen->second.width) * uint64_t(seen->second.height);
    if (pixels <= budget.pixels) {
      budget.pixels -= pixels;
      m_Thumbnail.SetPixels(seen->second);
    }
  } else if (m_Thumbnail.HasSource() && ReadImageBlockHeader(fd, fileSize, m_Thumbnail.SourceOffset(), th) &&
             uint64_t(th.size) <= budget.bytes && budget.pixels > 0) {
    budget.bytes -= uint64_t(th.size);
    Image thumb;
    DecodeOptions options;
    options.maxPixels = budget.pixels;
    if (DecodeImageBlock(fd, fileSize, m_Thumbnail.SourceOffset(), thumb, nullptr, options)) {
      budget.pixels -= std::min<uint64_t>(budget.pixels, uint64_t(thumb.width) * uint64_t(thumb.height));
      budget.decoded[m_Thumbnail.SourceOffset()] = thumb;
      m_Thumbnail.SetPixels(std::move(thumb));
    }
  }

  const int rects = r.Count("NUMPHOTORECTS");
  for (int i = 0; i < rects; ++i) {
    if (!r.Enter("PHOTORECT_" + std::to_string(i))) break;
    ReadRect(r, m_PhotoRects.emplace_back());
    r.Leave();
  }
  for (size_t i = 0; i < m_PhotoRects.size(); ++i)
    m_DontConstrainImageSizeList.push_back(
        r.OptInt(("m_DontConstrainImageSizeList_" + std::to_string(i)).c_str(), 0));

  const int previews = r.Count("NUMPHOTOPREVIEWRECTS");
  for (int i = 0; i < previews; ++i) {
    if (!r.Enter("PHOTOPREVIEWRECT_" + std::to_string(i))) break;
    ReadRect(r, m_PhotoPreviewRects.emplace_back());
    r.Leave();
  }

  const int settings = r.Count("NUMTRANSSETTINGS");
  for (int i = 0; i < settings; ++i) {
    if (!r.Enter("TRANSSETTING_" + std::to_string(i))) break;
    ReadTransSetting(r, m_TransSettings.emplace_back(), albumPath, fd, fileSize);
    r.Leave();
  }

  const int captions = r.Count("NUMCAPTIONS");
  for (int i = 0; i < captions; ++i) {
    if (!r.Enter("CAPTION_" + std::to_string(i))) break;
    ReadCaption(r, m_Captions.emplace_back());
    r.Leave();
  }

  RecordSource(m_Background, albumPath, fd, fileSize, r.Int64("BACKGROUND_IMAGEOFFSET"));
  RecordSource(m_Overlay, albumPath, fd, fileSize, r.Int64("OVERLAY_IMAGEOFFSET"));

  m_Pictures.assign(m_PhotoPreviewRects.size(), TemplateImage());
  const int pictures = r.Count("NUM_PICTURES");
  for (int j = 0; j < pictures; ++j) {
    if (!doc.FindElem("PICTURE_IMAGEOFFSET_" + std::to_string(j))) break;
    if (size_t(j) >= m_Pictures.size()) continue;
    RecordSource(m_Pictures[size_t(j)], albumPath, fd, fileSize, ParseDirectoryInt(doc.GetData()));
  }
  struct stat st {};
  if (m_bUseSinglePhotoImage != 0 && !m_Pictures.empty() && m_Pictures[0].HasSource() &&
      ::stat(m_Pictures[0].SourcePath().c_str(), &st) == 0) {
    for (size_t j = 1; j < m_Pictures.size(); ++j) m_Pictures[j].CopyFrom(m_Pictures[0]);
  }
}

void CTemplate::UnloadImagesFromMemory() {
  m_Background.Unload();
  m_Overlay.Unload();
  for (TemplateImage& p : m_Pictures) p.Unload();
  for (TransSetting& s : m_TransSettings) s.m_BackgroundSubtraction.Unload();
}

bool ReadAlbumDirectory(int fd, int64_t fileSize, const std::string& path, std::string& text,
                        std::string* reason) {
  uint8_t header[12];
  if (fileSize < 12 || !ReadAt(fd, 0, header, sizeof header)) {
    if (reason) *reason = "too short for an album";
    return false;
  }
  const int32_t version = LoadInt32(header);
  // The document --plt-pack reads starts as text; its first bytes are no version number.
  size_t first = 0;
  if (header[0] == 0xEF && header[1] == 0xBB && header[2] == 0xBF) first = 3;
  while (first < sizeof header && std::strchr(" \t\r\n", char(header[first])) && header[first]) ++first;
  if (version != kAlbumVersion && first < sizeof header && header[first] == '<') {
    if (reason)
      *reason =
          "this is an album source document, not an album: use --plt-pack SOURCE.xml OUT.plt to make one";
    return false;
  }
  if (version != kAlbumVersion) {
    if (reason) {
      char buf[256];
      std::snprintf(buf, sizeof buf,
                    "%.*s is saved as version %d.  This application requires albums of version %d.", 160,
                    path.c_str(), version, kAlbumVersion);
      *reason = buf;
    }
    return false;
  }
  uint64_t d = 0;
  for (int i = 7; i >= 0; --i) d = d << 8 | header[4 + i];
  uint8_t lengthBytes[4];
  if (d > uint64_t(fileSize) - 4 || !ReadAt(fd, int64_t(d), lengthBytes, 4)) {
    if (reason) *reason = "directory offset past the end of the file";
    return false;
  }
  const int32_t n = LoadInt32(lengthBytes);
  if (n < 0 || int64_t(d) + 4 + int64_t(n) > fileSize || size_t(n) > XmlDocument::kMaxDocumentSize) {
    if (reason) *reason = "directory length does not fit in the file";
    return false;
  }
  text.resize(size_t(n));
  if (n > 0 && !ReadAt(fd, int64_t(d) + 4, text.data(), text.size())) {
    if (reason) *reason = std::string("cannot read the directory: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void TemplateAlbum::Clear() {
  m_strPath.clear();
  m_iAlbumId = 0;
  m_strAlbumName.clear();
  m_iVersion = 0;
  m_Templates.clear();
}

bool TemplateAlbum::Load(const std::string& path, std::string* message) {
  Clear();
  Fd fd;
  int64_t fileSize = 0;
  if (!OpenForReading(path, fd, fileSize)) {
    if (message)
      *message = fd.fd >= 0        ? path + " is not a file"
                 : errno == ENOENT ? path + " does not exist"
                                   : "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text, reason;
  if (!ReadAlbumDirectory(fd.fd, fileSize, path, text, &reason)) {
    if (message)
      *message = reason.find(" is saved as version ") != std::string::npos ? reason : path + ": " + reason;
    return false;
  }
  XmlDocument doc;
  if (!doc.SetDoc(text)) {
    if (message) *message = path + ": the album directory is not well-formed (" + doc.GetError() + ")";
    return false;
  }
  DirectoryReader r(doc);
  if (r.Enter("ALBUM")) {
    m_iVersion = r.Int("VERSION");
    m_iAlbumId = doc.FindElem("ALBUMID") ? ParseDirectoryInt(doc.GetData()) : int64_t(std::time(nullptr));
    m_strAlbumName = r.OptText("ALBUM_NAME", "");
    if (r.Enter("TEMPLATES")) {
      const int64_t count = std::clamp<int64_t>(ParseDirectoryInt(r.Text("NUMTEMPLATES")), 0, kMaxTemplates);
      ThumbnailBudget thumbnailBudget;
      for (int i = 0; i < count; ++i) {
        if (!r.Enter("TEMPLATE_" + std::to_string(i))) break;
        auto t = std::make_unique<CTemplate>();
        t->Load(doc, path, fd.fd, fileSize, thumbnailBudget);
        t->m_iIndex = i;
        t->m_strAlbumPath = path;
        m_Templates.push_back(std::move(t));
        r.Leave();
      }
      r.Leave();
    }
    r.Leave();
  }
  m_strPath = path;
  return true;
}

}  // namespace brisko
