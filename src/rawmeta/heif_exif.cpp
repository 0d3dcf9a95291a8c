// The EXIF block of a HEIF file through libheif, for files whose EXIF libexiv2 cannot find.
// libheif is opened on first use (see support/shared_library.h), like the other libraries only
// some runs need; its functions are looked up here rather than defined, so that the libheif
// libvips loads for pixels keeps its own.
#include <libheif/heif.h>

#include <cstring>

#include "rawmeta/raw_metadata.h"
#include "support/shared_library.h"

namespace brisko {

namespace {

// An EXIF block is at most a few hundred kilobytes; more is not a block we want.
constexpr size_t kMaxExifBlock = 4u << 20;

SharedLibrary& HeifLibrary() {
  static SharedLibrary library(BRISKO_HEIF_LIBRARY);
  return library;
}

template <class F>
F* Function(const char* name) {
  return reinterpret_cast<F*>(HeifLibrary().Symbol(name));
}

struct Heif {
  decltype(&heif_context_alloc) alloc = Function<decltype(heif_context_alloc)>("heif_context_alloc");
  decltype(&heif_context_free) free = Function<decltype(heif_context_free)>("heif_context_free");
  decltype(&heif_context_read_from_file) read =
      Function<decltype(heif_context_read_from_file)>("heif_context_read_from_file");
  decltype(&heif_context_get_number_of_top_level_images) count =
      Function<decltype(heif_context_get_number_of_top_level_images)>(
          "heif_context_get_number_of_top_level_images");
  decltype(&heif_context_get_list_of_top_level_image_IDs) ids =
      Function<decltype(heif_context_get_list_of_top_level_image_IDs)>(
          "heif_context_get_list_of_top_level_image_IDs");
  decltype(&heif_context_get_primary_image_handle) primary =
      Function<decltype(heif_context_get_primary_image_handle)>("heif_context_get_primary_image_handle");
  decltype(&heif_context_get_image_handle) handle =
      Function<decltype(heif_context_get_image_handle)>("heif_context_get_image_handle");
  decltype(&heif_image_handle_release) release =
      Function<decltype(heif_image_handle_release)>("heif_image_handle_release");
  decltype(&heif_image_handle_get_list_of_metadata_block_IDs) blocks =
      Function<decltype(heif_image_handle_get_list_of_metadata_block_IDs)>(
          "heif_image_handle_get_list_of_metadata_block_IDs");
  decltype(&heif_image_handle_get_metadata_size) size =
      Function<decltype(heif_image_handle_get_metadata_size)>("heif_image_handle_get_metadata_size");
  decltype(&heif_image_handle_get_metadata) data =
      Function<decltype(heif_image_handle_get_metadata)>("heif_image_handle_get_metadata");
  bool Ok() const {
    return alloc && free && read && count && ids && primary && handle && release && blocks && size && data;
  }
};

const Heif& Api() {
  static const Heif api;
  return api;
}

// The first EXIF block of `image`, from its TIFF header on.
bool ExifOf(const Heif& api, const heif_image_handle* image, std::vector<uint8_t>& tiff) {
  heif_item_id id = 0;
  if (api.blocks(image, "Exif", &id, 1) < 1) return false;
  const size_t n = api.size(image, id);
  if (n < 12 || n > kMaxExifBlock) return false;
  std::vector<uint8_t> raw(n);
  if (api.data(image, id, raw.data()).code != heif_error_Ok) return false;
  // Four bytes give where the TIFF header starts after them ("Exif\0\0" before it, mostly).
  const uint32_t skip = uint32_t(raw[0]) << 24 | uint32_t(raw[1]) << 16 | uint32_t(raw[2]) << 8 | raw[3];
  size_t at = 4 + size_t(skip);
  // Some writers give 0 and still put "Exif\0\0" first.
  if (at + 6 <= n && std::memcmp(&raw[at], "Exif\0\0", 6) == 0) at += 6;
  if (at + 8 > n || !((raw[at] == 'I' && raw[at + 1] == 'I') || (raw[at] == 'M' && raw[at + 1] == 'M')))
    return false;
  tiff.assign(raw.begin() + std::ptrdiff_t(at), raw.end());
  return true;
}

}  // namespace

bool ReadHeifExifBlock(const std::string& path, std::vector<uint8_t>& tiff, std::string* whyNot) {
  tiff.clear();
  const Heif& api = Api();
  if (!api.Ok()) {
    if (whyNot) *whyNot = "libheif cannot be opened: " + HeifLibrary().Error();
    return false;
  }
  heif_context* context = api.alloc();
  if (!context) return false;
  bool found = false;
  if (api.read(context, path.c_str(), nullptr).code == heif_error_Ok) {
    // The primary picture's block; an image sequence or a file without one: the first picture
    // that has one.
    heif_image_handle* image = nullptr;
    if (api.primary(context, &image).code == heif_error_Ok && image) {
      found = ExifOf(api, image, tiff);
      api.release(image);
    }
    const int count = api.count(context);
    if (!found && count > 0 && count <= 64) {
      std::vector<heif_item_id> ids(static_cast<size_t>(count));
      const int listed = api.ids(context, ids.data(), count);
      for (int i = 0; i < listed && !found; ++i) {
        heif_image_handle* other = nullptr;
        if (api.handle(context, ids[size_t(i)], &other).code != heif_error_Ok || !other) continue;
        found = ExifOf(api, other, tiff);
        api.release(other);
      }
    }
  }
  api.free(context);
  if (!found && whyNot) *whyNot = "no EXIF block libheif can find";
  return found;
}

}  // namespace brisko
