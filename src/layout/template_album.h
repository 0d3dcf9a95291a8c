#pragma once
// The PLT album: one binary container holding templates (pages with photo holes, captions and
// colour settings) and every image they need. Loading reads the directory document and records
// where each image block lies; pixels are decoded on demand by TemplateImage::LoadIntoMemory,
// so an album can be rendered photo after photo with only one photo's images in memory.
//
// Container (little-endian): int32 version (101), uint64 directory offset D, image blocks,
// then at D: int32 length N and N bytes of directory XML. Image block: int32 size S, int32
// format F, S bytes of an encoded file; F 25 holds two nested blocks (colour, then mask).
//
// An album comes from outside: every offset, length, count and image size is checked against
// the file and bounded (limits below), so a hostile album fails cleanly and never makes the
// loader hang or allocate without bound.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imaging/image.h"
#include "imaging/image_codec.h"

namespace brisko {

class XmlDocument;
struct TemplateRenderState;

inline constexpr int kAlbumVersion = 101;
inline constexpr int kMaxTemplates = 10000;
inline constexpr int kMaxListItems = 1000;  // photo holes, previews, captions, colour keys, pictures
inline constexpr int64_t kMaxBlockSize = int64_t{1} << 30;
// Thumbnails are decoded while loading; all of an album's together stay below these.
inline constexpr uint64_t kMaxThumbnailPixelsPerAlbum = 64'000'000;
inline constexpr uint64_t kMaxThumbnailBytesPerAlbum = 256u << 20;

// What is left for decoding thumbnails while an album loads.
struct ThumbnailBudget {
  uint64_t pixels = kMaxThumbnailPixelsPerAlbum;
  uint64_t bytes = kMaxThumbnailBytesPerAlbum;  // of block data read, decodable or not
  std::map<int64_t, Image> decoded;             // by block offset: templates often share one
};

// Pixels of a rectangle on a page; right and bottom are exclusive.
struct PixelRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const PixelRect&) const = default;
};

// A rectangle as fractions of the page width and height (0.5 is half the page).
struct TemplateRect {
  double m_fCropHeightPercentage = 0;
  double m_fCropWidthPercentage = 0;
  double m_fCropXOffsetPercentage = 0;
  double m_fCropYOffsetPercentage = 0;

  // left = W x left edge, top = H x top edge, right = W x width + left, bottom = H x height +
  // top, each product truncated toward zero.
  PixelRect ToPixels(int pageWidth, int pageHeight) const;
  static TemplateRect FromPixels(const PixelRect& rect, int pageWidth, int pageHeight);
  bool operator==(const TemplateRect&) const = default;
};

// An image of a template: pixels in memory and, when loaded on demand, where they come from:
// an image block of an album file, or a picture file of its own.
class TemplateImage {
 public:
  int Width() const { return m_image.width; }
  int Height() const { return m_image.height; }
  int BytesPerPixel() const { return m_image.channels; }
  bool IsLoaded() const { return !m_image.Empty(); }
  const Image& Pixels() const { return m_image; }
  Image& Pixels() { return m_image; }

  bool HasSource() const { return !m_path.empty(); }
  const std::string& SourcePath() const { return m_path; }
  int64_t SourceOffset() const { return m_offset; }  // -1 for a picture file
  int SourceFormat() const { return m_format; }      // format code recorded for the source

  // An image block of an album file at `offset`.
  void SetBlockSource(const std::string& albumPath, int64_t offset, int format);
  // A picture file decoded by its format code (see ImageFormatFromPath).
  void SetFileSource(const std::string& path, int format);
  void ClearSource();
  // Decode at a reduced scale when the picture is at least twice this size (0: full size).
  void SetDecodeTarget(int width, int height);
  std::pair<int, int> DecodeTarget() const { return {m_targetWidth, m_targetHeight}; }

  // The size and decode cost from the header only (nothing decoded); a format 25 block is
  // sized by its colour image.
  bool ReadHeader(ImageHeader& header, std::string* reason = nullptr) const;
  // Reads the recorded block (or file) and decodes it; a format 25 block becomes RGBA with its
  // colour from the first nested block and alpha from the first channel of the mask. False,
  // with the image left empty, when there is no source or the data is short or undecodable.
  bool LoadIntoMemory(std::string* reason = nullptr);
  void Unload() { m_image = Image(); }
  // The other's source (when its file exists) and a copy of its pixels (when loaded).
  void CopyFrom(const TemplateImage& other);
  void SetPixels(Image image) { m_image = std::move(image); }

 private:
  Image m_image;
  std::string m_path;
  int64_t m_offset = -1;
  int m_format = kFormatUnknown;
  int m_targetWidth = 0;
  int m_targetHeight = 0;
};

struct TemplateCaption {
  int m_iCaptionType = 0;
  int m_iPictureHoleIndex = 0;
  std::string m_strCaption = "Sample text";
  int m_iHorizAlignFlag = 1;
  int m_iVertAlignFlag = 1;
  int m_iFontSize = 240;
  int m_iFontOpacity = 100;
  int m_bShadow = 1;
  int m_bBold = 0;
  int m_bItalic = 0;
  uint32_t m_TextRGB = 0x808080;
  std::string m_strFontFace = "Arial";
  TemplateRect m_Rect;
};

struct TransKey {
  uint32_t m_TransRGB = 0;
  int m_TransTol1 = 0;
  int m_TransTol2 = 0;
  int m_BrightnessTol = 0;
};

struct TransSetting {
  std::vector<TransKey> m_TransSets;
  int m_iDespeckleCount = 2;
  int m_bTransColors = 0;
  int m_bTransRange = 0;
  int m_iRangeTol1 = 0;
  int m_iRangeTol2 = 0;
  uint32_t m_rgbTransRangeHilite = 0;
  uint32_t m_rgbTransRangeShadow = 0;
  int m_iSubtractionTol1 = 0;
  int m_iSubtractionTol2 = 0;
  int m_iSubtractionBrightnessTol = 0;
  int m_eTransSubtractionType = 0;
  std::string m_strImageSubtractionFolder;
  int m_iContrast = 0;
  int m_iBrightness = 0;
  int m_RedShift = 0;
  int m_GreenShift = 0;
  int m_BlueShift = 0;
  int m_eColourType = 0;
  int m_iSepiaAmount = 0;
  int m_eSharpenType = 0;
  int m_iRotateDegrees = 0;
  TemplateImage m_BackgroundSubtraction;
};

class CTemplate {
 public:
  std::string m_strAlbumPath;
  int m_iIndex = 0;
  int m_iTemplateVersion = 0;
  std::string m_strName;
  std::string m_strCategory;
  std::string m_strArtist;
  int m_bUseSinglePhotoImage = 0;
  int m_iOrigCx = 0;  // design size in pixels
  int m_iOrigCy = 0;
  int m_iAppVersion = 0;
  TemplateImage m_Thumbnail;
  std::vector<TemplateRect> m_PhotoRects;
  std::vector<int> m_DontConstrainImageSizeList;  // one per photo rectangle
  std::vector<TemplateRect> m_PhotoPreviewRects;  // placement of picture i
  std::vector<TransSetting> m_TransSettings;      // per photo hole
  std::vector<TemplateCaption> m_Captions;
  TemplateImage m_Background;
  TemplateImage m_Overlay;
  std::vector<TemplateImage> m_Pictures;  // as many as preview rectangles

  // Reads the template element the document stands in (after IntoElem). Never fails: what is
  // missing keeps its default. A thumbnail beyond `budget` keeps its source and is left for
  // LoadIntoMemory.
  void Load(XmlDocument& doc, const std::string& albumPath, int albumFd, int64_t fileSize,
            ThumbnailBudget& budget);
  // Releases the pixels of every on-demand image (sources are kept).
  void UnloadImagesFromMemory();

  // Rendering (template_render.cpp). SetPhoto makes the photo the picture of a hole (and its
  // captions' text); Render composes the page, at design size for maxWidth -1;
  // SaveTemplateImage renders, encodes by the path's extension, copies the photo's EXIF block
  // into a JPEG when `flag` is set, and releases the images.
  void SetPhoto(const std::string& path, int hole);
  bool Render(Image& canvas, int maxWidth, int maxHeight, std::string* reason = nullptr);
  bool RenderPage(Image& canvas, int maxWidth, int maxHeight, std::string* reason);
  bool SaveTemplateImage(const std::string& outputPath, int flag);
  std::vector<std::string> GetInputFilepathsArray() const;
  TemplateRenderState& RenderState();
  std::shared_ptr<TemplateRenderState> m_render;  // made on first use
};

class TemplateAlbum {
 public:
  std::string m_strPath;
  int64_t m_iAlbumId = 0;
  std::string m_strAlbumName;
  int m_iVersion = 0;  // the directory's VERSION
  std::vector<std::unique_ptr<CTemplate>> m_Templates;

  // False when the file can't be opened, isn't version 101, has its directory outside the file
  // or a directory that is not well-formed XML. For the version, `message` receives "%s is
  // saved as version %d.  This application requires albums of version %d.".
  bool Load(const std::string& path, std::string* message = nullptr);
  void Clear();
};

// Reads the container header and the directory text with every bound checked; used by Load
// and by the album tools. `reason` tells why it failed (or holds the version message).
bool ReadAlbumDirectory(int fd, int64_t fileSize, const std::string& path, std::string& text,
                        std::string* reason);

struct ImageBlockHeader {
  int32_t size = 0;
  int32_t format = 0;
};
// The 8-byte header of the block at `offset`; false when it doesn't fit in the file.
bool ReadImageBlockHeader(int fd, int64_t fileSize, int64_t offset, ImageBlockHeader& header);
// Header of the block at `offset` (format 25: of its colour image, costed for both parts).
bool ReadImageBlockInfo(int fd, int64_t fileSize, int64_t offset, ImageHeader& header, std::string* reason,
                        const DecodeOptions& options = {});
// Decodes the block at `offset` (format 25 included) into `out`.
bool DecodeImageBlock(int fd, int64_t fileSize, int64_t offset, Image& out, std::string* reason,
                      const DecodeOptions& options = {});

// Leading-digits number reading of the directory document: "12abc" is 12, "abc" is 0; values
// beyond the type's range are clamped.
int64_t ParseDirectoryInt(const std::string& text);
double ParseDirectoryReal(const std::string& text);

}  // namespace brisko
