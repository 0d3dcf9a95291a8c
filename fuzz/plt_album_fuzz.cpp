// Loads arbitrary bytes as a picture layout album and decodes every image it names.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "layout/album_tools.h"
#include "layout/template_album.h"

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
      const bool sized = image->ReadHeader(header);
      if (image->LoadIntoMemory() &&
          image->Pixels().pixels.size() < size_t(image->Width()) * size_t(image->Height()))
        std::abort();
      // The header read that budgets a render agrees with the decode it stands for.
      if (sized && image->IsLoaded() &&
          (header.decodedWidth != image->Width() || header.decodedHeight != image->Height()))
        std::abort();
    }
    for (auto& p : t->m_Pictures) p.LoadIntoMemory();
    for (auto& s : t->m_TransSettings) s.m_BackgroundSubtraction.LoadIntoMemory();
    t->UnloadImagesFromMemory();
  }
  brisko::DescribeAlbum(album);
  return 0;
}
