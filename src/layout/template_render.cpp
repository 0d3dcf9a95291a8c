// Rendering a template: placing photos into its holes, composing the page and saving it with
// the photo's EXIF block.
#include "layout/template_render.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image_codec.h"
#include "imaging/image_geometry.h"
#include "imaging/image_paint.h"
#include "imaging/image_text.h"
#include "imaging/jpeg_transform.h"
#include "layout/photo_processing.h"
#include "layout/render_rules.h"
#include "layout/template_album.h"
#include "rawmeta/raw_metadata.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

constexpr uint32_t kOutlineGreen = 0xff00;
constexpr uint32_t kShadowColour = 0x323232;

Rgb ColourOf(uint32_t colorref) {
  return {uint8_t(colorref & 0xff), uint8_t((colorref >> 8) & 0xff), uint8_t((colorref >> 16) & 0xff)};
}

int NormalisedDegrees(int64_t degrees) {
  return int(((degrees % 360) + 360) % 360);
}

// The turn that brings a camera JPEG upright (EXIF orientation 3, 6 or 8). Without it a photo
// shot in portrait would be composed on its side, and the output says orientation 1.
int UprightDegrees(const std::string& path, int format) {
  if (format != kFormatJpeg) return 0;
  JpegExifFile exif;
  uint16_t orientation = 1;
  if (!exif.Parse(path) || !exif.GetOrientation(orientation)) return 0;
  return orientation == 6 ? 90 : orientation == 3 ? 180 : orientation == 8 ? 270 : 0;
}

// A JPEG file holding a HEIF photo's EXIF in front of the page's own data: the EXIF source the
// page's block is copied from, as for a JPEG photo (the EXIF writer reads JPEG files only).
bool WriteHeifExifCarrier(const std::string& photo, const std::string& page, const std::string& carrier) {
  std::vector<uint8_t> tiff, bytes;
  if (!ReadRawExifBlock(photo, tiff) || !ReadWholeFile(page, bytes) || bytes.size() < 2) return false;
  const size_t length = 2 + 6 + tiff.size();
  std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xE1, uint8_t(length >> 8), uint8_t(length & 0xFF)};
  out.insert(out.end(), {'E', 'x', 'i', 'f', 0, 0});
  out.insert(out.end(), tiff.begin(), tiff.end());
  out.insert(out.end(), bytes.begin() + 2, bytes.end());
  SafeOutput file;
  return file.Open(carrier) && WriteAll(file.Fd(), out.data(), out.size()) && file.Commit();
}

PhotoProcessing ProcessingFor(const TransSetting& s, const TemplateRenderState& state) {
  PhotoProcessing p;
  TransparencyParams& t = p.transparency;
  t.useKeys = s.m_bTransColors != 0;
  for (const TransKey& k : s.m_TransSets)
    t.keys.push_back({ColourOf(k.m_TransRGB), k.m_TransTol1, k.m_TransTol2, k.m_BrightnessTol});
  t.useRange = s.m_bTransRange != 0;
  t.rangeHilite = ColourOf(s.m_rgbTransRangeHilite);
  t.rangeShadow = ColourOf(s.m_rgbTransRangeShadow);
  t.rangeTol1 = s.m_iRangeTol1;
  t.rangeTol2 = s.m_iRangeTol2;
  t.useSubtraction = s.m_eTransSubtractionType != 0;
  t.subtractionTol1 = s.m_iSubtractionTol1;
  t.subtractionTol2 = s.m_iSubtractionTol2;
  t.subtractionBrightnessTol = s.m_iSubtractionBrightnessTol;
  t.despeckleCount = s.m_iDespeckleCount;
  p.colour = {s.m_eColourType, s.m_iBrightness, s.m_iContrast,   s.m_RedShift,
              s.m_GreenShift,  s.m_BlueShift,   s.m_iSepiaAmount};
  p.sharpenType = s.m_eSharpenType;
  p.sharpenAmount = state.sharpenAmount;
  p.softenAmount = state.softenAmount;
  return p;
}

bool EnsureLoaded(TemplateImage& image) {
  if (image.IsLoaded()) return true;
  return image.HasSource() && image.LoadIntoMemory();
}

std::string Megabytes(uint64_t bytes) {
  return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MB";
}

// The text mask of one line costs about 0.7 x bytes x height^2 pixels; this bounds it above.
uint64_t TextPixels(const std::string& line, int lineHeight) {
  return uint64_t(std::min<size_t>(line.size(), 4096)) * uint64_t(lineHeight) * uint64_t(lineHeight);
}

// Lines that cannot reach the page are neither measured nor drawn; what is drawn is taken from
// `textLeft` (pixels of text mask for the template).
bool DrawTextLines(Image& canvas, const TemplateCaption& caption, const PixelRect& box, int lineHeight,
                   uint64_t& textLeft, std::string* reason) {
  if (lineHeight <= 0) return true;
  TextStyle style;
  style.face = caption.m_strFontFace.empty() ? "Arial" : caption.m_strFontFace;
  style.pixelHeight = lineHeight;
  style.bold = caption.m_bBold != 0;
  style.italic = caption.m_bItalic != 0;
  const std::vector<std::string> lines = SplitCaptionLines(caption.m_strCaption);
  // The vertical places do not depend on the widths: find the lines that show first.
  const std::vector<LinePlacement> rows =
      PlaceCaptionLines(box, std::vector<int>(lines.size(), 0), lineHeight, caption.m_iHorizAlignFlag,
                        caption.m_iVertAlignFlag);
  std::vector<Image> masks(lines.size());
  std::vector<int> widths(lines.size(), 0);
  for (size_t i = 0; i < lines.size(); ++i) {
    const int64_t y = rows[i].y;
    if (lines[i].empty() || y + 2 * int64_t(lineHeight) <= 0 || y - lineHeight >= canvas.height) continue;
    const uint64_t cost = TextPixels(lines[i], lineHeight);
    if (cost > textLeft) {
      if (reason)
        *reason = "the captions need more than " + std::to_string(kMaxCaptionPixelsPerTemplate / 1'000'000) +
                  " megapixels of text";
      return false;
    }
    textLeft -= cost;
    // A line the text library cannot draw is left out, as before.
    if (RenderTextMask(lines[i], style, masks[i], nullptr)) widths[i] = masks[i].width;
  }
  const std::vector<LinePlacement> places =
      PlaceCaptionLines(box, widths, lineHeight, caption.m_iHorizAlignFlag, caption.m_iVertAlignFlag);
  const int opacity = std::clamp(caption.m_iFontOpacity, 0, 100);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (masks[i].Empty()) continue;
    if (caption.m_bShadow) {
      // Down and to the right, as a light from the top left casts it.
      const int shift = std::max(1, masks[i].height / 30);
      DrawMask(canvas, masks[i], places[i].x + shift, places[i].y + shift, kShadowColour, 2 * opacity / 3);
    }
    DrawMask(canvas, masks[i], places[i].x, places[i].y, caption.m_TextRGB, opacity);
    masks[i] = Image();
  }
  return true;
}

void OutlineEmptyHole(Image& canvas, const PixelRect& hole, int number) {
  const int thickness = std::max(1, std::min(canvas.width, canvas.height) / 400);
  const int r = hole.right - 1, b = hole.bottom - 1;
  DrawLine(canvas, hole.left, hole.top, r, hole.top, kOutlineGreen, thickness);
  DrawLine(canvas, r, hole.top, r, b, kOutlineGreen, thickness);
  DrawLine(canvas, r, b, hole.left, b, kOutlineGreen, thickness);
  DrawLine(canvas, hole.left, b, hole.left, hole.top, kOutlineGreen, thickness);
  const PixelRect shown = Intersect(hole, PixelRect{0, 0, canvas.width, canvas.height});
  if (shown.Width() <= 0 || shown.Height() <= 0) return;
  TextStyle style;
  style.pixelHeight = std::clamp(hole.Height() / 8, 10, 400);
  Image label;
  if (!RenderTextMask("Photo " + std::to_string(number), style, label, nullptr) || label.Empty()) return;
  DrawMask(canvas, label, hole.left + (hole.Width() - label.width) / 2,
           hole.top + (hole.Height() - label.height) / 2, kOutlineGreen, 100);
}

// Holds what a render has allocated and refuses, before allocating, what would pass the
// budget; shared images that this template does not use are let go first.
class Budget {
 public:
  Budget(RenderSession* session, std::vector<RenderSession::Key> uses)
      : m_session(session), m_uses(std::move(uses)) {}
  bool Need(uint64_t bytes, const std::string& what, std::string* reason) {
    if (Held() + bytes <= kRenderBudgetBytes) return true;
    if (m_session) m_session->DropExcept(m_uses);
    if (Held() + bytes <= kRenderBudgetBytes) return true;
    if (reason)
      *reason = what + " needs " + Megabytes(bytes) + " with " + Megabytes(Held()) +
                " already held, more than the " + Megabytes(kRenderBudgetBytes) + " a template may use";
    return false;
  }
  // The image is not needed again by this template: the session may let it go for room.
  void Done(const RenderSession::Key& key) { std::erase(m_uses, key); }
  void Hold(uint64_t bytes) { m_held += bytes; }
  void Free(uint64_t bytes) { m_held -= std::min(m_held, bytes); }

 private:
  uint64_t Held() const { return m_held + (m_session ? m_session->HeldBytes() : 0); }
  RenderSession* m_session;
  std::vector<RenderSession::Key> m_uses;
  uint64_t m_held = 0;
};

uint64_t Bytes(const Image& image) {
  return image.pixels.size();
}

RenderSession::Key KeyOf(const TemplateImage& image) {
  return {image.SourcePath(), image.SourceOffset()};
}

// An album image decoded within the budget, shared through the session when other templates
// use it too. The budget holds it until the caller frees it (a shared one stays with the
// session instead).
bool Acquire(const TemplateImage& image, RenderSession* session, Budget& budget, const std::string& what,
             std::shared_ptr<const Image>& out, bool& shared, std::string* reason) {
  const RenderSession::Key key = KeyOf(image);
  shared = session && image.SourceOffset() >= 0 && session->IsShared(key);
  if (shared && (out = session->Find(key))) return true;
  ImageHeader header;
  std::string why;
  if (!image.ReadHeader(header, &why)) {
    if (reason) *reason = what + " cannot be decoded: " + why;
    return false;
  }
  if (!budget.Need(header.decodeBytes, what, reason)) return false;
  TemplateImage copy;
  copy.CopyFrom(image);
  if (!copy.LoadIntoMemory(&why)) {
    if (reason) *reason = what + " cannot be decoded: " + why;
    return false;
  }
  if (session) ++session->decodedImages;
  auto decoded = std::make_shared<Image>(std::move(copy.Pixels()));
  if (shared)
    session->Keep(key, decoded);
  else
    budget.Hold(Bytes(*decoded));
  out = std::move(decoded);
  return true;
}

}  // namespace

std::string NewestOpenableJpeg(const std::string& folder) {
  std::vector<FileInfo> entries;
  if (folder.empty() || !ListFolder(folder, "*.jpg", entries)) return "";
  std::sort(entries.begin(), entries.end(),
            [](const FileInfo& a, const FileInfo& b) { return a.modTime > b.modTime; });
  for (const FileInfo& e : entries) {
    // One still being written by the camera software is held open; the next newest will do.
    if (!e.directory && CanOpenExclusively(e.path)) return e.path;
  }
  return "";
}

TemplateRenderState& CTemplate::RenderState() {
  if (!m_render) m_render = std::make_shared<TemplateRenderState>();
  return *m_render;
}

void CTemplate::SetPhoto(const std::string& path, int hole) {
  const int holes = int(m_PhotoRects.size());
  if (hole < 0 || hole >= holes) return;
  if (int(m_Pictures.size()) < holes) m_Pictures.resize(size_t(holes));
  if (int(m_PhotoPreviewRects.size()) < holes) m_PhotoPreviewRects.resize(size_t(holes));
  TemplateRenderState& state = RenderState();

  // The design size decides the placement; without ORIG_CX/CY it is the background's.
  if (m_iOrigCx <= 0 || m_iOrigCy <= 0) {
    ImageHeader page;
    if ((m_Background.HasSource() && m_Background.ReadHeader(page)) ||
        (m_Overlay.HasSource() && m_Overlay.ReadHeader(page))) {
      m_iOrigCx = page.width;
      m_iOrigCy = page.height;
    }
  }
  const int format = ImageFormatFromPath(path);
  int photoW = 0, photoH = 0;
  const bool sized = ReadImageSize(path, format, photoW, photoH, nullptr) && photoW > 0 && photoH > 0;
  const int upright = UprightDegrees(path, format);

  for (int h = 0; h < holes; ++h) {
    if (h != hole && !m_bUseSinglePhotoImage) continue;
    TemplateRenderState::Hole& slot = state.At(size_t(h));
    slot = TemplateRenderState::Hole{};
    slot.photoPath = path;
    slot.uprightDegrees = upright;
    TemplateImage& picture = m_Pictures[size_t(h)];
    picture.SetFileSource(path, format);
    picture.Unload();
    picture.SetDecodeTarget(0, 0);
    for (TemplateCaption& c : m_Captions)
      if (c.m_iPictureHoleIndex == h && c.m_iCaptionType != 0)
        c.m_strCaption = CaptionTextForPhoto(c.m_iCaptionType, c.m_strCaption, path);
    if (!sized || m_iOrigCx <= 0 || m_iOrigCy <= 0) continue;

    // The placed picture is the rotated one: a quarter turn swaps its sides.
    const int degrees = NormalisedDegrees(
        int64_t{upright} +
        (size_t(h) < m_TransSettings.size() ? m_TransSettings[size_t(h)].m_iRotateDegrees : 0));
    const bool swap = degrees == 90 || degrees == 270;
    const int placedW = swap ? photoH : photoW, placedH = swap ? photoW : photoH;
    PixelRect placement = m_PhotoPreviewRects[size_t(h)].ToPixels(m_iOrigCx, m_iOrigCy);
    if (!KeepsStoredPlacement(placement, placedW, placedH)) {
      placement = DefaultPlacement(m_PhotoRects[size_t(h)].ToPixels(m_iOrigCx, m_iOrigCy), placedW, placedH);
      m_PhotoPreviewRects[size_t(h)] = TemplateRect::FromPixels(placement, m_iOrigCx, m_iOrigCy);
    }
    // A camera photo is usually far larger than its place on the page; decoding it at a
    // JPEG-native reduced scale saves most of the decode time and memory.
    if (placedW > 2 * placement.Width() && placement.Width() > 0 && placement.Height() > 0)
      picture.SetDecodeTarget(swap ? placement.Height() : placement.Width(),
                              swap ? placement.Width() : placement.Height());
  }
}

std::vector<std::string> CTemplate::GetInputFilepathsArray() const {
  std::vector<std::string> paths;
  if (!m_render) return paths;
  for (const TemplateRenderState::Hole& h : m_render->holes)
    if (!h.photoPath.empty()) paths.push_back(h.photoPath);
  return paths;
}

bool CTemplate::Render(Image& canvas, int maxWidth, int maxHeight, std::string* reason) {
  // An allocation that fails anyway (the budget is an estimate) fails this template only.
  try {
    return RenderPage(canvas, maxWidth, maxHeight, reason);
  } catch (const std::bad_alloc&) {
    if (reason) *reason = "out of memory while rendering";
  } catch (const std::length_error&) {
    if (reason) *reason = "out of memory while rendering";
  }
  canvas = Image();
  return false;
}

bool CTemplate::RenderPage(Image& canvas, int maxWidth, int maxHeight, std::string* reason) {
  TemplateRenderState& state = RenderState();
  RenderSession* session = state.session;
  std::vector<RenderSession::Key> uses{KeyOf(m_Background), KeyOf(m_Overlay)};
  for (const TemplateImage& p : m_Pictures) uses.push_back(KeyOf(p));
  Budget budget(session, uses);

  // The page size comes from the headers; pixels are decoded only when the budget allows.
  ImageHeader bgHeader, ovHeader;
  std::string bgWhy, ovWhy;
  const bool haveBackground = m_Background.HasSource() && m_Background.ReadHeader(bgHeader, &bgWhy);
  const bool haveOverlay = m_Overlay.HasSource() && m_Overlay.ReadHeader(ovHeader, &ovWhy);
  if (!haveBackground && !haveOverlay) {
    if (reason)
      *reason = !bgWhy.empty()   ? "the background cannot be decoded: " + bgWhy
                : !ovWhy.empty() ? "the overlay cannot be decoded: " + ovWhy
                                 : "the template has neither a background nor an overlay";
    return false;
  }
  const ImageHeader& page = haveBackground ? bgHeader : ovHeader;
  m_iOrigCx = page.width;
  m_iOrigCy = page.height;
  int width = 0, height = 0;
  if (!CanvasSize(m_iOrigCx, m_iOrigCy, maxWidth, maxHeight, width, height)) {
    if (reason) *reason = "no canvas size";
    return false;
  }
  const uint64_t pagePixels = uint64_t(width) * uint64_t(height);
  if (session) {
    if (pagePixels > session->pagePixelsLeft) {
      if (reason)
        *reason = "the album's pages for one photo would pass " +
                  std::to_string(kMaxPagePixelsPerPhoto / 1'000'000) + " megapixels";
      return false;
    }
    session->pagePixelsLeft -= pagePixels;
  }
  const uint64_t canvasBytes = pagePixels * 3;
  // Known from the headers alone: a page that cannot hold its overlay fails before any decode.
  if (haveOverlay && !budget.Need(canvasBytes + ovHeader.decodeBytes, "the page with its overlay", reason))
    return false;

  if (haveBackground) {
    std::shared_ptr<const Image> bg;
    bool shared = false;
    if (!Acquire(m_Background, session, budget, "the background", bg, shared, reason)) return false;
    if (!shared && bg.use_count() == 1 && bg->channels == 3 && bg->width == width && bg->height == height) {
      // The page is the background's own buffer: no second copy at the peak.
      canvas = std::move(const_cast<Image&>(*bg));
      budget.Free(canvasBytes);
    } else {
      const bool scale = bg->width != width || bg->height != height;
      if (!budget.Need(canvasBytes + (scale ? pagePixels * 4 : 0), "the page", reason)) return false;
      if (!scale && bg->channels == 3) {
        canvas = *bg;
      } else if (!scale) {
        canvas = Image(width, height, 3, 255);
        CompositeAt(canvas, *bg, 0, 0, 100);
      } else {
        canvas = Image(width, height, 3, 255);
        Image scaled;
        if (!ResizeImage(*bg, width, height, scaled, reason)) return false;
        CompositeAt(canvas, scaled, 0, 0, 100);
      }
      if (!shared) budget.Free(Bytes(*bg));
    }
    bg.reset();
    budget.Done(KeyOf(m_Background));
  } else {
    if (!budget.Need(canvasBytes, "the page", reason)) return false;
    canvas = Image(width, height, 3, 255);
  }
  budget.Hold(canvasBytes);

  // The holes one at a time: a photo is kept only while a later hole shows it the same way.
  struct Placed {
    RenderSession::Key key;
    std::pair<int, int> target;
    int degrees = 0;
    bool operator==(const Placed&) const = default;
  };
  const PixelRect pageRect{0, 0, width, height};
  std::vector<Placed> placed(m_PhotoRects.size());
  for (size_t i = 0; i < m_PhotoRects.size(); ++i) {
    if (i >= m_Pictures.size() || !m_Pictures[i].HasSource()) continue;
    const int setDegrees = i < m_TransSettings.size() ? m_TransSettings[i].m_iRotateDegrees : 0;
    placed[i].key = KeyOf(m_Pictures[i]);
    placed[i].target = m_Pictures[i].DecodeTarget();
    placed[i].degrees = NormalisedDegrees(int64_t{state.At(i).uprightDegrees} + setDegrees);
  }
  Image photo;
  Placed photoKey;
  photoKey.key.second = -2;  // matches no hole
  std::vector<int> emptyHoles;
  for (size_t i = 0; i < m_PhotoRects.size(); ++i) {
    const PixelRect hole = m_PhotoRects[i].ToPixels(width, height);
    TemplateImage* picture = i < m_Pictures.size() ? &m_Pictures[i] : nullptr;
    TemplateRenderState::Hole& slot = state.At(i);
    if (!picture || !picture->HasSource()) {
      if (!slot.photoPath.empty()) {
        if (reason) *reason = "no picture for the photo " + slot.photoPath;
        return false;
      }
      emptyHoles.push_back(int(i));
      continue;
    }
    ImageHeader header;
    const bool fresh = !(photoKey == placed[i]);
    if (fresh) {
      // Checked even where the photo will not show: a photo that cannot be decoded fails the
      // page, as a placeholder would pass for a result.
      std::string why;
      if (!picture->ReadHeader(header, &why)) {
        if (!slot.photoPath.empty()) {
          if (reason) *reason = "cannot decode the photo " + slot.photoPath + ": " + why;
          return false;
        }
        emptyHoles.push_back(int(i));
        continue;
      }
    }
    const PixelRect placement =
        i < m_PhotoPreviewRects.size() ? m_PhotoPreviewRects[i].ToPixels(width, height) : hole;
    const PixelRect visible = Intersect(Intersect(placement, hole), pageRect);
    if (visible.Width() <= 0 || visible.Height() <= 0 || placement.Width() <= 0 || placement.Height() <= 0)
      continue;
    TransSetting fallback;
    TransSetting& setting = i < m_TransSettings.size() ? m_TransSettings[i] : fallback;
    if (fresh) {
      budget.Free(Bytes(photo));
      photo = Image();
      const std::string what = slot.photoPath.empty() ? "the picture of hole " + std::to_string(i + 1)
                                                      : "the photo " + slot.photoPath;
      const uint64_t decoded = uint64_t(header.decodedWidth) * uint64_t(header.decodedHeight) * 3;
      const int degrees = placed[i].degrees;
      const uint64_t turned = degrees == 0 ? 0
                              : degrees % 90 == 0
                                  ? decoded
                                  : uint64_t(header.decodedWidth + header.decodedHeight) *
                                        uint64_t(header.decodedWidth + header.decodedHeight) * 3;
      if (!budget.Need(std::max(header.decodeBytes, decoded + turned), what, reason)) return false;
      std::string decodeWhy;
      if (!picture->LoadIntoMemory(&decodeWhy)) {
        picture->Unload();
        if (!slot.photoPath.empty()) {
          if (reason) *reason = "cannot decode the photo " + slot.photoPath + ": " + decodeWhy;
          return false;
        }
        emptyHoles.push_back(int(i));
        continue;
      }
      photo = std::move(picture->Pixels());
      picture->Unload();
      if (degrees != 0) {
        Image turnedImage;
        const bool ok = degrees % 90 == 0 ? RotateQuarter(photo, degrees, turnedImage, reason)
                                          : RotateAny(photo, degrees, turnedImage, reason);
        if (!ok) return false;
        photo = std::move(turnedImage);
      }
      budget.Hold(Bytes(photo));
      photoKey = placed[i];
    }
    const Image* subtraction = nullptr;
    if (setting.m_eTransSubtractionType != 0) {
      if (slot.subtraction.Empty()) {
        const std::string newest = NewestOpenableJpeg(setting.m_strImageSubtractionFolder);
        ImageHeader header;
        if (!newest.empty() && ReadImageFileHeader(newest, kFormatJpeg, header, nullptr) &&
            budget.Need(header.decodeBytes, "the background subtraction image", reason) &&
            DecodeImageFile(newest, kFormatJpeg, slot.subtraction, nullptr))
          budget.Hold(Bytes(slot.subtraction));
      }
      if (!slot.subtraction.Empty()) {
        subtraction = &slot.subtraction;
      } else if (setting.m_BackgroundSubtraction.HasSource()) {
        ImageHeader header;
        if (setting.m_BackgroundSubtraction.ReadHeader(header) &&
            budget.Need(header.decodeBytes, "the background subtraction image", reason) &&
            EnsureLoaded(setting.m_BackgroundSubtraction)) {
          budget.Hold(Bytes(setting.m_BackgroundSubtraction.Pixels()));
          subtraction = &setting.m_BackgroundSubtraction.Pixels();
        }
      }
    }
    const PixelRect part{visible.left - placement.left, visible.top - placement.top,
                         visible.right - placement.left, visible.bottom - placement.top};
    // The part as resampled (4 channels when keyed, with a margin and a blurred copy when
    // sharpened) and the keyed copy of the photo.
    const PhotoProcessing processing = ProcessingFor(setting, state);
    const bool keyed = UsesTransparency(processing.transparency, subtraction);
    const bool sharpened = processing.sharpenType == 1 || processing.sharpenType == 2;
    const uint64_t partBytes = uint64_t(part.Width() + (sharpened ? 16 : 0)) *
                               uint64_t(part.Height() + (sharpened ? 16 : 0)) * (keyed ? 4 : 3) *
                               (sharpened ? 2 : 1);
    const uint64_t keyedBytes = keyed ? uint64_t(photo.width) * uint64_t(photo.height) * 4 : 0;
    if (!budget.Need(keyedBytes + partBytes, "the photo of hole " + std::to_string(i + 1), reason))
      return false;
    Image processed;
    if (!ProcessPhotoPart(photo, processing, subtraction, placement.Width(), placement.Height(), part,
                          processed, reason))
      return false;
    CompositeAt(canvas, processed, visible.left, visible.top, 100);
    processed = Image();
    // Released as soon as no later hole shows the same picture the same way.
    if (std::find(placed.begin() + int64_t(i) + 1, placed.end(), photoKey) == placed.end()) {
      budget.Free(Bytes(photo));
      photo = Image();
      photoKey = Placed{};
      photoKey.key.second = -2;
    }
  }
  budget.Free(Bytes(photo));
  photo = Image();

  // An overlay without alpha would hide the page: only a transparent one is drawn.
  if (haveOverlay) {
    std::shared_ptr<const Image> ov;
    bool shared = false;
    if (!Acquire(m_Overlay, session, budget, "the overlay", ov, shared, reason)) return false;
    if (ov->channels == 4) {
      if (ov->width == width && ov->height == height) {
        CompositeAt(canvas, *ov, 0, 0, 100);
      } else {
        if (!budget.Need(pagePixels * 4, "the scaled overlay", reason)) return false;
        Image scaled;
        if (!ResizeImage(*ov, width, height, scaled, reason)) return false;
        CompositeAt(canvas, scaled, 0, 0, 100);
      }
    }
    if (!shared) budget.Free(Bytes(*ov));
  }

  uint64_t textLeft = kMaxCaptionPixelsPerTemplate;
  for (const TemplateCaption& caption : m_Captions) {
    const int lineHeight = CaptionLineHeight(caption.m_iFontSize, height, m_iOrigCy);
    // The text library's mask and its drawing surface for the largest line it draws.
    const uint64_t maskBytes =
        std::min<uint64_t>(TextPixels(caption.m_strCaption, lineHeight), kDefaultMaxPixels) * 2;
    if (!budget.Need(maskBytes, "caption text", reason)) return false;
    if (!DrawTextLines(canvas, caption, caption.m_Rect.ToPixels(width, height), lineHeight, textLeft, reason))
      return false;
  }
  for (int i : emptyHoles) OutlineEmptyHole(canvas, m_PhotoRects[size_t(i)].ToPixels(width, height), i + 1);
  return true;
}

bool CTemplate::SaveTemplateImage(const std::string& outputPath, int flag) {
  TemplateRenderState& state = RenderState();
  state.lastFailure.clear();
  auto log = [&state](const std::string& step) {
    if (state.logger) state.logger->Log(1, "CTemplate::SaveTemplateImage", step);
  };
  auto finish = [this, &state, &log](bool result) {
    log("UnloadImagesFromMemory");
    UnloadImagesFromMemory();
    state.Release();
    return result;
  };
  log("Function start");
  log("Render Template");
  std::string reason;
  Image canvas;
  if (!Render(canvas, -1, -1, &reason)) {
    log("Render failure");
    if (!reason.empty()) log(reason);
    state.lastFailure = reason.empty() ? "the template cannot be rendered" : reason;
    UnloadImagesFromMemory();
    state.Release();
    return false;
  }
  log("Check valid");
  if (canvas.Empty()) {
    state.lastFailure = "the rendered page is empty";
    return finish(false);
  }
  // The photo's pixels are not needed for encoding; free them before the encoder's buffers.
  UnloadImagesFromMemory();
  state.Release();
  log("No-Exif temp file " + outputPath);
  bool encoded = false;
  try {
    encoded = EncodeImageFile(canvas, outputPath, &reason);
  } catch (const std::bad_alloc&) {
    reason = "out of memory while encoding";
  }
  if (!encoded) {
    log("Encode failure: " + reason);
    state.lastFailure = "cannot write the page: " + reason;
    DeleteFile(outputPath);
    return finish(false);
  }
  canvas = Image();
  log("Test if do exif");
  if (flag && ImageFormatFromPath(outputPath) == kFormatJpeg) {
    log("GetInputFilepathsArray");
    const std::vector<std::string> photos = GetInputFilepathsArray();
    if (!photos.empty()) {
      log("GetStatus");
      // A HEIF photo's EXIF reaches the page through a JPEG that carries it.
      std::string source = photos.front();
      std::string carrier;
      if (ImageFormatFromPath(source) == kFormatHeif) {
        carrier = outputPath + ".HeifExif";
        source = WriteHeifExifCarrier(source, outputPath, carrier) ? carrier : std::string();
      }
      if (!source.empty() && PathExists(source)) {
        const std::string exifTemp = outputPath + ".TempExifFile";
        log("Exif temp file " + exifTemp);
        if (ReplicateExif(source, outputPath, exifTemp, 1)) {
          log("Exif replicate success");
          // The rename replaces the output in one step: there is no moment without it.
          if (std::rename(exifTemp.c_str(), outputPath.c_str()) != 0) DeleteFile(exifTemp);
        } else {
          log("Exif replicate failure");
          DeleteFile(exifTemp);
        }
      }
      if (!carrier.empty() && PathExists(carrier)) DeleteFile(carrier);
    }
  }
  return finish(true);
}

RenderSession::RenderSession(const TemplateAlbum& album) {
  for (const auto& t : album.m_Templates) {
    // Counted once per template: sharing within one template needs no cache.
    std::vector<Key> keys;
    for (const TemplateImage* image : {&t->m_Background, &t->m_Overlay})
      if (image->HasSource() && image->SourceOffset() >= 0) keys.push_back(KeyOf(*image));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (const Key& k : keys) ++m_useCount[k];
  }
}

void RenderSession::BeginPhoto() {
  m_images.clear();
  pagePixelsLeft = kMaxPagePixelsPerPhoto;
}

std::shared_ptr<const Image> RenderSession::Find(const Key& key) const {
  auto it = m_images.find(key);
  return it == m_images.end() ? nullptr : it->second;
}

void RenderSession::Keep(const Key& key, std::shared_ptr<const Image> image) {
  m_images[key] = std::move(image);
}

void RenderSession::DropExcept(const std::vector<Key>& keep) {
  for (auto it = m_images.begin(); it != m_images.end();) {
    if (std::find(keep.begin(), keep.end(), it->first) == keep.end())
      it = m_images.erase(it);
    else
      ++it;
  }
}

uint64_t RenderSession::HeldBytes() const {
  uint64_t bytes = 0;
  for (const auto& [key, image] : m_images) bytes += image->pixels.size();
  return bytes;
}

}  // namespace brisko

namespace brisko {

bool RenderAlbumForPhoto(const std::string& albumPath, const std::string& photoPath,
                         const std::string& outFolder, const TemplateRenderState& settings,
                         std::vector<std::string>& outputs, std::string* error) {
  TemplateAlbum album;
  std::string message;
  if (!album.Load(albumPath, &message)) {
    if (error) *error = message.empty() ? "cannot load album " + albumPath : message;
    return false;
  }
  if (!PathExists(photoPath)) {
    if (error) *error = "no photo at " + photoPath;
    return false;
  }
  if (!CreateFolderPath(outFolder)) {
    if (error) *error = "cannot create " + outFolder;
    return false;
  }
  const std::string folder = WithTrailingSeparator(outFolder);
  const PathParts parts = SplitPath(PageFileName(photoPath));
  RenderSession session(album);
  session.stopRequested = settings.session ? settings.session->stopRequested : nullptr;
  session.BeginPhoto();
  bool ok = true;
  for (auto& t : album.m_Templates) {
    if (session.stopRequested && session.stopRequested()) {
      if (error && ok)
        *error = "stopped before template " + std::to_string(t->m_iIndex + 1) + ": exit requested";
      return false;
    }
    TemplateRenderState& state = t->RenderState();
    state.sharpenAmount = settings.sharpenAmount;
    state.softenAmount = settings.softenAmount;
    state.logger = settings.logger;
    state.session = &session;
    // Written under a hidden name first, so a failed template leaves nothing half-written.
    const std::string temp =
        folder + "." + parts.name + ".brisko-render-" + std::to_string(::getpid()) + parts.extension;
    std::string target = folder + parts.name + parts.extension;
    for (int n = 2; PathExists(target); ++n)
      target = folder + parts.name + "_" + std::to_string(n) + parts.extension;
    int err = 0;
    std::string why;
    try {
      t->SetPhoto(photoPath, 0);
      if (t->SaveTemplateImage(temp, 1)) {
        if (MoveFile(temp, target, Collision::Fail, nullptr, &err)) {
          outputs.push_back(target);
          continue;
        }
        why = "cannot move the page to " + target + ": " + std::strerror(err);
      } else {
        why = state.lastFailure;
      }
    } catch (const std::bad_alloc&) {
      why = "out of memory while rendering";
    }
    if (PathExists(temp)) DeleteFile(temp);
    if (error && ok)
      *error = "template " + std::to_string(t->m_iIndex + 1) + " (" + t->m_strName + ") failed" +
               (why.empty() ? std::string() : ": " + why);
    ok = false;
  }
  return ok;
}

}  // namespace brisko
