// Rendering a template: placing photos into its holes, composing the page and saving it with
// the photo's EXIF block.
#include "layout/template_render.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image_codec.h"
#include "layout/photo_processing.h"
#include "layout/render_rules.h"
#include "layout/template_album.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"
#include "support/logger.h"
#include "support/path_util.h"

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

void DrawTextLines(Image& canvas, const TemplateCaption& caption, const PixelRect& box, int lineHeight) {
  if (lineHeight <= 0) return;
  TextStyle style;
  style.face = caption.m_strFontFace.empty() ? "Arial" : caption.m_strFontFace;
  style.pixelHeight = lineHeight;
  style.bold = caption.m_bBold != 0;
  style.italic = caption.m_bItalic != 0;
  const std::vector<std::string> lines = SplitCaptionLines(caption.m_strCaption);
  std::vector<int> widths, heights;
  for (const std::string& line : lines) {
    int w = 0, h = 0;
    if (!MeasureText(line, style, w, h, nullptr)) w = h = 0;
    widths.push_back(w);
    heights.push_back(h);
  }
  const std::vector<LinePlacement> places =
      PlaceCaptionLines(box, widths, lineHeight, caption.m_iHorizAlignFlag, caption.m_iVertAlignFlag);
  const int opacity = std::clamp(caption.m_iFontOpacity, 0, 100);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    if (caption.m_bShadow) {
      // Down and to the right, as a light from the top left casts it.
      const int shift = std::max(1, heights[i] / 30);
      DrawText(canvas, lines[i], style, places[i].x + shift, places[i].y + shift, kShadowColour,
               2 * opacity / 3, nullptr);
    }
    DrawText(canvas, lines[i], style, places[i].x, places[i].y, caption.m_TextRGB, opacity, nullptr);
  }
}

void OutlineEmptyHole(Image& canvas, const PixelRect& hole, int number) {
  const int thickness = std::max(1, std::min(canvas.width, canvas.height) / 400);
  const int r = hole.right - 1, b = hole.bottom - 1;
  DrawLine(canvas, hole.left, hole.top, r, hole.top, kOutlineGreen, thickness);
  DrawLine(canvas, r, hole.top, r, b, kOutlineGreen, thickness);
  DrawLine(canvas, r, b, hole.left, b, kOutlineGreen, thickness);
  DrawLine(canvas, hole.left, b, hole.left, hole.top, kOutlineGreen, thickness);
  TextStyle style;
  style.pixelHeight = std::clamp(hole.Height() / 8, 10, 400);
  const std::string label = "Photo " + std::to_string(number);
  int w = 0, h = 0;
  if (!MeasureText(label, style, w, h, nullptr)) return;
  DrawText(canvas, label, style, hole.left + (hole.Width() - w) / 2, hole.top + (hole.Height() - h) / 2,
           kOutlineGreen, 100, nullptr);
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
  if ((m_iOrigCx <= 0 || m_iOrigCy <= 0) && (EnsureLoaded(m_Background) || EnsureLoaded(m_Overlay))) {
    const TemplateImage& page = m_Background.IsLoaded() ? m_Background : m_Overlay;
    m_iOrigCx = page.Width();
    m_iOrigCy = page.Height();
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
  TemplateRenderState& state = RenderState();
  const bool haveBackground = EnsureLoaded(m_Background);
  const bool haveOverlay = EnsureLoaded(m_Overlay);
  if (!haveBackground && !haveOverlay) {
    if (reason) *reason = "the template has neither a background nor an overlay";
    return false;
  }
  const TemplateImage& page = haveBackground ? m_Background : m_Overlay;
  m_iOrigCx = page.Width();
  m_iOrigCy = page.Height();
  int width = 0, height = 0;
  if (!CanvasSize(m_iOrigCx, m_iOrigCy, maxWidth, maxHeight, width, height)) {
    if (reason) *reason = "no canvas size";
    return false;
  }

  canvas = Image(width, height, 3, 255);
  if (haveBackground) {
    const Image& bg = m_Background.Pixels();
    if (bg.channels == 3 && bg.width == width && bg.height == height) {
      canvas.pixels = bg.pixels;
    } else {
      Image scaled;
      const Image* src = &bg;
      if (bg.width != width || bg.height != height) {
        if (!ResizeImage(bg, width, height, scaled, reason)) return false;
        src = &scaled;
      }
      CompositeAt(canvas, *src, 0, 0, 100);
    }
  }

  const PixelRect pageRect{0, 0, width, height};
  std::vector<int> emptyHoles;
  for (size_t i = 0; i < m_PhotoRects.size(); ++i) {
    const PixelRect hole = m_PhotoRects[i].ToPixels(width, height);
    TemplateImage* picture = i < m_Pictures.size() ? &m_Pictures[i] : nullptr;
    TemplateRenderState::Hole& slot = state.At(i);
    if (!picture || !EnsureLoaded(*picture)) {
      // A photo that cannot be decoded fails the page: a placeholder would pass for a result.
      if (!slot.photoPath.empty()) {
        if (reason) *reason = "cannot decode the photo " + slot.photoPath;
        return false;
      }
      emptyHoles.push_back(int(i));
      continue;
    }
    TransSetting fallback;
    TransSetting& setting = i < m_TransSettings.size() ? m_TransSettings[i] : fallback;
    if (!slot.turned) {
      const int degrees = NormalisedDegrees(int64_t{slot.uprightDegrees} + setting.m_iRotateDegrees);
      if (degrees != 0) {
        Image turned;
        const bool ok = degrees % 90 == 0 ? RotateQuarter(picture->Pixels(), degrees, turned, reason)
                                          : RotateAny(picture->Pixels(), degrees, turned, reason);
        if (!ok) return false;
        picture->SetPixels(std::move(turned));
      }
      slot.turned = true;
    }
    const PixelRect placement =
        i < m_PhotoPreviewRects.size() ? m_PhotoPreviewRects[i].ToPixels(width, height) : hole;
    const PixelRect visible = Intersect(Intersect(placement, hole), pageRect);
    if (visible.Width() <= 0 || visible.Height() <= 0 || placement.Width() <= 0 || placement.Height() <= 0)
      continue;
    if (slot.processed.Empty() || slot.processedWidth != placement.Width() ||
        slot.processedHeight != placement.Height()) {
      const Image* subtraction = nullptr;
      if (setting.m_eTransSubtractionType != 0) {
        if (slot.subtraction.Empty()) {
          const std::string newest = NewestOpenableJpeg(setting.m_strImageSubtractionFolder);
          if (!newest.empty()) DecodeImageFile(newest, kFormatJpeg, slot.subtraction, nullptr);
        }
        if (!slot.subtraction.Empty())
          subtraction = &slot.subtraction;
        else if (EnsureLoaded(setting.m_BackgroundSubtraction))
          subtraction = &setting.m_BackgroundSubtraction.Pixels();
      }
      if (!ProcessPhoto(picture->Pixels(), ProcessingFor(setting, state), subtraction, placement.Width(),
                        placement.Height(), slot.processed, reason))
        return false;
      slot.processedWidth = placement.Width();
      slot.processedHeight = placement.Height();
    }
    Image part;
    if (visible.Width() == placement.Width() && visible.Height() == placement.Height()) {
      CompositeAt(canvas, slot.processed, visible.left, visible.top, 100);
    } else if (CropImage(slot.processed, visible.left - placement.left, visible.top - placement.top,
                         visible.Width(), visible.Height(), part)) {
      CompositeAt(canvas, part, visible.left, visible.top, 100);
    }
  }

  // An overlay without alpha would hide the page: only a transparent one is drawn.
  if (haveOverlay && m_Overlay.Pixels().channels == 4) {
    const Image& ov = m_Overlay.Pixels();
    if (ov.width == width && ov.height == height) {
      CompositeAt(canvas, ov, 0, 0, 100);
    } else {
      Image scaled;
      if (!ResizeImage(ov, width, height, scaled, reason)) return false;
      CompositeAt(canvas, scaled, 0, 0, 100);
    }
  }

  for (const TemplateCaption& caption : m_Captions)
    DrawTextLines(canvas, caption, caption.m_Rect.ToPixels(width, height),
                  CaptionLineHeight(caption.m_iFontSize, height, m_iOrigCy));
  for (int i : emptyHoles) OutlineEmptyHole(canvas, m_PhotoRects[size_t(i)].ToPixels(width, height), i + 1);
  return true;
}

bool CTemplate::SaveTemplateImage(const std::string& outputPath, int flag) {
  TemplateRenderState& state = RenderState();
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
    UnloadImagesFromMemory();
    state.Release();
    return false;
  }
  log("Check valid");
  if (canvas.Empty()) return finish(false);
  // The photo's pixels are not needed for encoding; free them before the encoder's buffers.
  UnloadImagesFromMemory();
  state.Release();
  log("No-Exif temp file " + outputPath);
  if (!EncodeImageFile(canvas, outputPath, &reason)) {
    log("Encode failure: " + reason);
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
      if (PathExists(photos.front())) {
        const std::string exifTemp = outputPath + ".TempExifFile";
        log("Exif temp file " + exifTemp);
        if (ReplicateExif(photos.front(), outputPath, exifTemp, 1)) {
          log("Exif replicate success");
          // The rename replaces the output in one step: there is no moment without it.
          if (std::rename(exifTemp.c_str(), outputPath.c_str()) != 0) DeleteFile(exifTemp);
        } else {
          log("Exif replicate failure");
          DeleteFile(exifTemp);
        }
      }
    }
  }
  return finish(true);
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
  const PathParts parts = SplitPath(photoPath);
  bool ok = true;
  for (auto& t : album.m_Templates) {
    TemplateRenderState& state = t->RenderState();
    state.sharpenAmount = settings.sharpenAmount;
    state.softenAmount = settings.softenAmount;
    state.logger = settings.logger;
    t->SetPhoto(photoPath, 0);
    // Written under a hidden name first, so a failed template leaves nothing half-written.
    const std::string temp =
        folder + "." + parts.name + ".brisko-render-" + std::to_string(::getpid()) + parts.extension;
    std::string target = folder + parts.name + parts.extension;
    for (int n = 2; PathExists(target); ++n)
      target = folder + parts.name + "_" + std::to_string(n) + parts.extension;
    int err = 0;
    if (t->SaveTemplateImage(temp, 1) && MoveFile(temp, target, Collision::Fail, nullptr, &err)) {
      outputs.push_back(target);
      continue;
    }
    if (PathExists(temp)) DeleteFile(temp);
    if (error && ok)
      *error = "template " + std::to_string(t->m_iIndex + 1) + " (" + t->m_strName + ") failed";
    ok = false;
  }
  return ok;
}

}  // namespace brisko
