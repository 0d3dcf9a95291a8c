#pragma once
// One line of text, drawn by libvips (Pango and fontconfig behind it).
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace brisko {

struct TextStyle {
  std::string face = "Arial";
  int pixelHeight = 20;  // size of the font in pixels
  bool bold = false;
  bool italic = false;
};
// Size of the inked area of one line of text.
bool MeasureText(const std::string& text, const TextStyle& style, int& width, int& height,
                 std::string* reason);
// One line of text as a one-channel coverage mask (its size is the measured size).
bool RenderTextMask(const std::string& text, const TextStyle& style, Image& mask, std::string* reason);
// One line of text with its measured top-left at (x, y), clipped to the canvas.
bool DrawText(Image& canvas, const std::string& text, const TextStyle& style, int x, int y, uint32_t rgb,
              int opacityPercent, std::string* reason);

}  // namespace brisko
