#pragma once
// What rendering keeps with a template between calls: the photos set into its holes, their
// processed results keyed by size, and the settings a render takes from the station.
#include <string>
#include <vector>

#include "imaging/image.h"

namespace brisko {

class Logger;

struct TemplateRenderState {
  int sharpenAmount = 20;  // "iSharpenAmount"
  int softenAmount = 30;   // "iSoftenAmount"
  Logger* logger = nullptr;

  struct Hole {
    std::string photoPath;   // set by SetPhoto; "" for a sample picture or none
    bool turned = false;     // the picture's pixels are rotated by the hole's setting
    int uprightDegrees = 0;  // the photo's EXIF orientation as a clockwise turn
    int processedWidth = 0, processedHeight = 0;
    Image processed;    // the hole's picture after its TransSetting, at the size above
    Image subtraction;  // background image taken from the setting's folder
  };
  std::vector<Hole> holes;

  Hole& At(size_t hole) {
    if (holes.size() <= hole) holes.resize(hole + 1);
    return holes[hole];
  }
  // Drops every cached pixel; the photo paths stay.
  void Release() {
    for (Hole& h : holes) {
      h.turned = false;
      h.processed = Image();
      h.processedWidth = h.processedHeight = 0;
      h.subtraction = Image();
    }
  }
};

// The newest "*.jpg" of `folder` that no other process holds open; "" when there is none.
std::string NewestOpenableJpeg(const std::string& folder);

}  // namespace brisko

namespace brisko {

// The preview of an album for its designer: the photo rendered into every template as the
// action would, each picture written to `outFolder` under the photo's name (made unique with
// "_2", "_3", ...), without touching the photo. `outputs` receives the paths written; false
// when the album cannot be loaded or any template fails (`error` says which).
bool RenderAlbumForPhoto(const std::string& albumPath, const std::string& photoPath,
                         const std::string& outFolder, const TemplateRenderState& settings,
                         std::vector<std::string>& outputs, std::string* error);

}  // namespace brisko
