#pragma once
// The geometry and text rules of rendering a photo into a template: placement, canvas size,
// caption texts and caption line positions. Pure functions, so the rules are tested alone.
#include <ctime>
#include <string>
#include <vector>

#include "layout/template_album.h"

namespace brisko {

// True when a stored placement (in design pixels) fits the photo's proportions closely enough
// to keep: width above 0 and aspect ratios within 0.01.
bool KeepsStoredPlacement(const PixelRect& placement, int photoW, int photoH);

// The photo scaled to cover the hole, centred on it (the overhang split evenly).
PixelRect DefaultPlacement(const PixelRect& hole, int photoW, int photoH);

// The canvas for a render: the design size for maxW -1, else the largest size with the design
// proportions within maxW x maxH. False for a design size that is not positive.
bool CanvasSize(int designW, int designH, int maxW, int maxH, int& width, int& height);

// The intersection; empty when they do not overlap.
PixelRect Intersect(const PixelRect& a, const PixelRect& b);

// The file name of a finished page made from a photo of this name: the same, except that a
// photo in a format pages are not written in (HEIF) gives a ".jpg" page.
std::string PageFileName(const std::string& photoName);

// Caption types 1 to 5 take their text from the photo file; 0 (and unknown types) keep `text`.
// The date of a RAW or HEIF photo is its capture date where it has one.
std::string CaptionTextForPhoto(int type, const std::string& text, const std::string& photoPath);
// Date (1), time (2) or both (3) of a time stamp in the user's locale; "Invalid DateTime"
// when it cannot be formatted.
std::string FormatLocalDateTime(std::time_t t, int type);

// Lines at "\r\n".
std::vector<std::string> SplitCaptionLines(const std::string& text);
// Font size in tenths of a point at 300 dpi, scaled from the design height to the canvas.
int CaptionLineHeight(int fontSize, int canvasH, int designH);

struct LinePlacement {
  int x = 0, y = 0;
};
// Top-left of each line in the box: horizontal 0 left, 1 centred, 2 right; vertical 0 top,
// 1 middle, 2 bottom for the whole block; lines one line height apart.
std::vector<LinePlacement> PlaceCaptionLines(const PixelRect& box, const std::vector<int>& lineWidths,
                                             int lineHeight, int hAlign, int vAlign);

}  // namespace brisko
