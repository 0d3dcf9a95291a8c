#include "app/status_thumbnails.h"

#include <algorithm>

#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image_codec.h"
#include "imaging/image_geometry.h"

namespace brisko {

namespace {

constexpr int kThumbSide = 240;

}  // namespace

bool MakeThumbnail(const std::string& path, size_t maxBytes, std::string& jpeg) {
  const int format = ImageFormatFromPath(path);
  if (format == kFormatUnknown) return false;
  // A camera's own thumbnail costs no decoding.
  JpegExifFile exif;
  if (exif.Parse(path) && exif.thumbnailData.size() > 2 && exif.thumbnailData.size() <= maxBytes &&
      exif.thumbnailData[0] == 0xFF && exif.thumbnailData[1] == 0xD8) {
    jpeg.assign(exif.thumbnailData.begin(), exif.thumbnailData.end());
    return true;
  }
  DecodeOptions options;
  options.targetWidth = kThumbSide;
  options.targetHeight = kThumbSide;
  Image image, small;
  if (!DecodeImageFile(path, format, image, nullptr, options) || image.width <= 0 || image.height <= 0)
    return false;
  const double scale = std::min(1.0, double(kThumbSide) / std::max(image.width, image.height));
  const int w = std::max(1, int(image.width * scale)), h = std::max(1, int(image.height * scale));
  if (!ResizeImage(image, w, h, small, nullptr)) return false;
  std::vector<uint8_t> bytes;
  if (!EncodeImage(small, kFormatJpeg, bytes, nullptr, 80) || bytes.size() > maxBytes) return false;
  jpeg.assign(bytes.begin(), bytes.end());
  return true;
}

std::vector<StatusPlacedPhoto> StatusThumbnails::Add(const std::string& path, const std::string& action,
                                                     std::time_t now) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Entry e;
  e.photo.id = m_nextId++;
  const size_t slash = path.find_last_of('/');
  e.photo.name = slash == std::string::npos ? path : path.substr(slash + 1);
  e.photo.action = action;
  e.photo.time = now;
  e.path = path;
  m_entries.push_front(std::move(e));
  if (m_entries.size() > kCount) m_entries.pop_back();
  std::vector<StatusPlacedPhoto> list;
  for (const Entry& x : m_entries) list.push_back(x.photo);
  return list;
}

bool StatusThumbnails::Get(uint64_t id, std::string& jpeg) const {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it =
        std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.photo.id == id; });
    if (it == m_entries.end()) return false;
    if (it->tried) {
      jpeg = it->jpeg;
      return !jpeg.empty();
    }
    path = it->path;
  }
  // Made without the lock: the station never waits for a decode.
  std::string made;
  if (!MakeThumbnail(path, kMaxBytes, made)) made.clear();
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it =
      std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.photo.id == id; });
  if (it != m_entries.end()) {
    it->tried = true;
    it->jpeg = made;
  }
  jpeg = std::move(made);
  return !jpeg.empty();
}

}  // namespace brisko
