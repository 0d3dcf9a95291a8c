// Loads arbitrary bytes as a picture layout album and decodes every image it names that the
// renderer would decode: one its budget refuses from the header is refused here too, as the
// program refuses it in a fraction of a second.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "layout/album_tools.h"
#include "layout/template_album.h"
#include "layout/template_render.h"

namespace {

// The renderer's first test, from the header alone: a page of the image's size (3 bytes a pixel)
// and the decoded image together within the render budget.
bool WithinRenderBudget(const brisko::TemplateImage& image, brisko::ImageHeader* header = nullptr) {
  brisko::ImageHeader h;
  if (!image.ReadHeader(h)) return false;
  if (header) *header = h;
  return uint64_t(h.width) * uint64_t(h.height) * 3 + h.decodeBytes <= brisko::kRenderBudgetBytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    char tmpl[] = "/tmp/plt-album-fuzz-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) std::abort();
    close(fd);
    return std::string(tmpl);
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  brisko::TemplateAlbum album;
  std::string message;
  if (!album.Load(path, &message)) return 0;
  if (album.m_Templates.size() > brisko::kMaxTemplates) std::abort();
  for (auto& t : album.m_Templates) {
    if (t->m_PhotoRects.size() > brisko::kMaxListItems || t->m_Captions.size() > brisko::kMaxListItems)
      std::abort();
    for (brisko::TemplateImage* image : {&t->m_Background, &t->m_Overlay}) {
      brisko::ImageHeader header;
      const bool sized = WithinRenderBudget(*image, &header);
      if (!sized) continue;
      if (image->LoadIntoMemory() &&
          image->Pixels().pixels.size() < size_t(image->Width()) * size_t(image->Height()))
        std::abort();
      // The header read that budgets a render agrees with the decode it stands for.
      if (sized && image->IsLoaded() &&
          (header.decodedWidth != image->Width() || header.decodedHeight != image->Height()))
        std::abort();
    }
    for (auto& p : t->m_Pictures)
      if (WithinRenderBudget(p)) p.LoadIntoMemory();
    for (auto& s : t->m_TransSettings)
      if (WithinRenderBudget(s.m_BackgroundSubtraction)) s.m_BackgroundSubtraction.LoadIntoMemory();
    t->UnloadImagesFromMemory();
  }
  brisko::DescribeAlbum(album);
  return 0;
}
