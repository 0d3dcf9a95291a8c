#pragma once
// A decoded picture in memory: the buffer the rendering passes loop over. Straight (not
// premultiplied) alpha, rows packed without padding.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brisko {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;  // 3: red, green, blue; 4: red, green, blue, alpha
  std::vector<uint8_t> pixels;  // width * channels bytes a row, height rows

  Image() = default;
  Image(int w, int h, int c, uint8_t fill = 0)
      : width(w), height(h), channels(c), pixels(size_t(w) * size_t(h) * size_t(c), fill) {}

  bool Empty() const { return width <= 0 || height <= 0 || pixels.empty(); }
  size_t Stride() const { return size_t(width) * size_t(channels); }
  uint8_t* Row(int y) { return pixels.data() + size_t(y) * Stride(); }
  const uint8_t* Row(int y) const { return pixels.data() + size_t(y) * Stride(); }
  uint8_t* At(int x, int y) { return Row(y) + size_t(x) * size_t(channels); }
  const uint8_t* At(int x, int y) const { return Row(y) + size_t(x) * size_t(channels); }
};

}  // namespace brisko
