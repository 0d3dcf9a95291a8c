#include "app/status_thumbnails.h"

#include <algorithm>

#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image_codec.h"
#include "imaging/image_geometry.h"
#include "rawmeta/raw_metadata.h"

namespace brisko {

namespace {

constexpr int kThumbSide = 240;

}  // namespace

bool MakeThumbnail(const std::string& path, size_t maxBytes, std::string& jpeg) {
  // A camera's own small picture (the EXIF thumbnail, a RAW's preview) saves decoding the photo;
  // it is stored as the sensor saw it, so it is turned as the photo's orientation says.
  std::vector<uint8_t> small;
  int orientation = 1;
  int format = ImageFormatFromPath(path);
  if (IsRawOrHeifPath(path) && !IsHeifPath(path)) {
    RawMetadata meta;
    if (ReadRawMetadata(path, meta)) orientation = meta.orientation;
    if (!ReadRawPreview(path, kThumbSide, 8u << 20, small)) return false;
    format = kFormatJpeg;
  } else if (format == kFormatUnknown) {
    return false;
  } else {
    JpegExifFile exif;
    uint16_t o = 1;
    if (exif.Parse(path)) {
      if (exif.GetOrientation(o)) orientation = o;
      if (exif.thumbnailData.size() > 2 && exif.thumbnailData[0] == 0xFF && exif.thumbnailData[1] == 0xD8)
        small = exif.thumbnailData;
    }
  }
  const int turn = orientation == 3 || orientation == 4   ? 180
                   : orientation >= 5 && orientation <= 6 ? 90
                   : orientation >= 7 && orientation <= 8 ? 270
                                                          : 0;
  if (turn == 0 && !small.empty() && small.size() <= maxBytes) {
    jpeg.assign(small.begin(), small.end());
    return true;
  }
  DecodeOptions options;
  options.targetWidth = kThumbSide;
  options.targetHeight = kThumbSide;
  Image image, resized, upright;
  const bool decoded = small.empty()
                           ? DecodeImageFile(path, format, image, nullptr, options)
                           : DecodeImage(small.data(), small.size(), kFormatJpeg, image, nullptr, options);
  if (!decoded || image.width <= 0 || image.height <= 0) return false;
  const double scale = std::min(1.0, double(kThumbSide) / std::max(image.width, image.height));
  const int w = std::max(1, int(image.width * scale)), h = std::max(1, int(image.height * scale));
  if (!ResizeImage(image, w, h, resized, nullptr)) return false;
  if (turn != 0 && !RotateQuarter(resized, turn, upright, nullptr)) return false;
  std::vector<uint8_t> bytes;
  if (!EncodeImage(turn ? upright : resized, kFormatJpeg, bytes, nullptr, 80) || bytes.size() > maxBytes)
    return false;
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

std::vector<StatusPlacedPhoto> StatusThumbnails::Replace(const std::string& path, const std::string& by) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Entry& e : m_entries) {
    if (e.path != path) continue;
    e.path = by;
    const size_t slash = by.find_last_of('/');
    e.photo.name = slash == std::string::npos ? by : by.substr(slash + 1);
    e.photo.id = m_nextId++;  // a new picture: the page asks for it anew
    e.jpeg.clear();
    e.tried = false;
  }
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
