#pragma once
// What rendering keeps with a template between calls: the photos set into its holes, their
// processed results keyed by size, and the settings a render takes from the station.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imaging/image.h"

namespace brisko {

class Logger;
class TemplateAlbum;

// Everything one template's render holds at once (page, background, overlay, the photo of the
// hole being placed, caption masks, images shared with other templates) stays within this; a
// template that would need more fails with the reason before anything is allocated. Room for
// a page at the 120 MP cap plus its background shared with the album's other templates, and
// the process stays below 1 GB.
inline constexpr uint64_t kRenderBudgetBytes = uint64_t{768} << 20;
// Pages one photo makes across an album: a page costs about 30 ns a pixel to copy, compose and
// encode, so this keeps a photo's work to a few seconds (one page at the cap, twenty 8 x 10
// inch prints at 300 dpi).
inline constexpr uint64_t kMaxPagePixelsPerPhoto = 150'000'000;
// Caption text drawn on one template, in pixels of text mask as estimated before drawing (bytes x
// line height squared): fifty lines of 30 letters at 300 pixels, or two lines a page high.
// The text library takes about a second for 64 million.
inline constexpr uint64_t kMaxCaptionPixelsPerTemplate = 128'000'000;

// What the templates of one album share while one photo is rendered into them: album images
// used by several templates are decoded once, and the page budget above.
class RenderSession {
 public:
  // Notes which album images more than one template uses.
  explicit RenderSession(const TemplateAlbum& album);
  // Before each photo: shared images dropped, page budget renewed.
  void BeginPhoto();

  using Key = std::pair<std::string, int64_t>;  // album path, block offset
  bool IsShared(const Key& key) const { return m_useCount.count(key) && m_useCount.at(key) > 1; }
  std::shared_ptr<const Image> Find(const Key& key) const;
  void Keep(const Key& key, std::shared_ptr<const Image> image);
  // Drops every shared image except those in `keep`.
  void DropExcept(const std::vector<Key>& keep);
  uint64_t HeldBytes() const;

  uint64_t pagePixelsLeft = kMaxPagePixelsPerPhoto;
  int decodedImages = 0;  // album images decoded through the session, for the log and tests
  // Asked between templates: true ends the album's render (the station is exiting).
  std::function<bool()> stopRequested;

 private:
  std::map<Key, int> m_useCount;
  std::map<Key, std::shared_ptr<const Image>> m_images;
};

struct TemplateRenderState {
  int sharpenAmount = 20;  // "iSharpenAmount"
  int softenAmount = 30;   // "iSoftenAmount"
  Logger* logger = nullptr;
  RenderSession* session = nullptr;  // null: nothing shared, no page budget across templates
  std::string lastFailure;           // why the last SaveTemplateImage failed

  struct Hole {
    std::string photoPath;   // set by SetPhoto; "" for a sample picture or none
    int uprightDegrees = 0;  // the photo's EXIF orientation as a clockwise turn
    Image subtraction;       // background image taken from the setting's folder
  };
  std::vector<Hole> holes;

  Hole& At(size_t hole) {
    if (holes.size() <= hole) holes.resize(hole + 1);
    return holes[hole];
  }
  // Drops every cached pixel; the photo paths stay.
  void Release() {
    for (Hole& h : holes) h.subtraction = Image();
  }
};

// The newest "*.jpg" of `folder` that no other process holds open; "" when there is none.
std::string NewestOpenableJpeg(const std::string& folder);

}  // namespace brisko

namespace brisko {

// The preview of an album for its designer: the photo rendered into every template as the
// action would, each picture written to `outFolder` under the photo's name (made unique with
// "_2", "_3", ...), without touching the photo. `outputs` receives the paths written; false
// when the album cannot be loaded or any template fails (`error` says which and why).
bool RenderAlbumForPhoto(const std::string& albumPath, const std::string& photoPath,
                         const std::string& outFolder, const TemplateRenderState& settings,
                         std::vector<std::string>& outputs, std::string* error);

}  // namespace brisko
