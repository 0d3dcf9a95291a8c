#pragma once
// Builds JPEG test files: pixels from libjpeg-turbo and an EXIF block laid out here, independently
// of the writer under test.
#include <turbojpeg.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brisko::test {

using Bytes = std::vector<uint8_t>;

inline Bytes MakeJpeg(int width, int height, bool progressive = false, int subsamp = TJSAMP_420) {
  tjhandle tj = tjInitCompress();
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(x * 7 + y);
      p[1] = static_cast<uint8_t>(y * 5);
      p[2] = static_cast<uint8_t>((x ^ y) * 3);
    }
  unsigned char* out = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, subsamp, 85,
              progressive ? TJFLAG_PROGRESSIVE : 0);
  Bytes jpeg(out, out + size);
  tjFree(out);
  tjDestroy(tj);
  return jpeg;
}

struct Entry {
  uint16_t tag, type;
  uint32_t count;
  Bytes data;  // already in the block's byte order
};

class TiffBuilder {
 public:
  explicit TiffBuilder(char order) : m_order(order) {}
  Bytes U16(uint16_t v) const {
    return m_order == 'M' ? Bytes{uint8_t(v >> 8), uint8_t(v)} : Bytes{uint8_t(v), uint8_t(v >> 8)};
  }
  Bytes U32(uint32_t v) const {
    return m_order == 'M' ? Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}
                          : Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  }
  Entry Short(uint16_t tag, uint16_t v) const { return {tag, 3, 1, U16(v)}; }
  Entry Long(uint16_t tag, uint32_t v) const { return {tag, 4, 1, U32(v)}; }
  Entry Ascii(uint16_t tag, const std::string& s) const {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return {tag, 2, uint32_t(b.size()), b};
  }
  Entry Undef(uint16_t tag, const Bytes& b) const { return {tag, 7, uint32_t(b.size()), b}; }
  Entry Rationals(uint16_t tag, const std::vector<std::pair<uint32_t, uint32_t>>& v) const {
    Bytes b;
    for (auto [n, d] : v) {
      auto x = U32(n), y = U32(d);
      b.insert(b.end(), x.begin(), x.end());
      b.insert(b.end(), y.begin(), y.end());
    }
    return {tag, 5, uint32_t(v.size()), b};
  }

  std::vector<Entry> ifd0, exif, gps, interop, ifd1;
  Bytes thumbnail;
  // Maker note placed at a fixed offset from the TIFF header with an inner offset counting from it.
  uint32_t makerNoteAt = 0;

  // The APP1 payload: "Exif\0\0" + TIFF. Layout: header, IFD0, Exif, GPS, Interop, IFD1, data.
  Bytes Build() const {
    std::vector<Entry> d0 = ifd0, de = exif;
    if (!exif.empty()) d0.push_back(Long(0x8769, 0));
    if (!gps.empty()) d0.push_back(Long(0x8825, 0));
    if (!interop.empty()) de.push_back(Long(0xA005, 0));
    std::vector<Entry> d1 = ifd1;
    if (!thumbnail.empty()) {
      d1.push_back(Long(0x0201, 0));
      d1.push_back(Long(0x0202, uint32_t(thumbnail.size())));
    }
    auto size = [](const std::vector<Entry>& d) { return d.empty() ? 0u : uint32_t(2 + 12 * d.size() + 4); };
    uint32_t o0 = 8, oe = o0 + size(d0), og = oe + size(de), oi = og + size(gps), o1 = oi + size(interop);
    uint32_t data = o1 + size(d1);
    for (auto& e : d0) {
      if (e.tag == 0x8769) e.data = U32(oe);
      if (e.tag == 0x8825) e.data = U32(og);
    }
    for (auto& e : de)
      if (e.tag == 0xA005) e.data = U32(oi);
    Bytes tiff(data, 0);
    Bytes area;
    auto writeDir = [&](std::vector<Entry>& d, uint32_t at, uint32_t next) {
      if (d.empty()) return;
      Bytes b = U16(uint16_t(d.size()));
      for (auto& e : d) {
        auto t = U16(e.tag), ty = U16(e.type), c = U32(e.count);
        b.insert(b.end(), t.begin(), t.end());
        b.insert(b.end(), ty.begin(), ty.end());
        b.insert(b.end(), c.begin(), c.end());
        if (e.data.size() > 4) {
          uint32_t off = data + uint32_t(area.size());
          if (e.tag == 0x927C && makerNoteAt) off = makerNoteAt;
          auto o = U32(off);
          b.insert(b.end(), o.begin(), o.end());
          if (!(e.tag == 0x927C && makerNoteAt)) area.insert(area.end(), e.data.begin(), e.data.end());
        } else {
          Bytes v = e.data;
          v.resize(4, 0);
          b.insert(b.end(), v.begin(), v.end());
        }
      }
      auto n = U32(next);
      b.insert(b.end(), n.begin(), n.end());
      std::copy(b.begin(), b.end(), tiff.begin() + at);
    };
    for (auto& e : d1)
      if (e.tag == 0x0201) e.data = U32(0);  // patched below
    writeDir(d0, o0, d1.empty() ? 0 : o1);
    writeDir(de, oe, 0);
    auto g = gps;
    writeDir(g, og, 0);
    auto in = interop;
    writeDir(in, oi, 0);
    uint32_t thumbAt = data + uint32_t(area.size());
    for (auto& e : d1)
      if (e.tag == 0x0201) e.data = U32(thumbAt);
    writeDir(d1, o1, 0);
    area.insert(area.end(), thumbnail.begin(), thumbnail.end());
    tiff.insert(tiff.end(), area.begin(), area.end());
    if (makerNoteAt) {
      for (const auto& e : exif)
        if (e.tag == 0x927C) {
          if (tiff.size() < makerNoteAt + e.data.size()) tiff.resize(makerNoteAt + e.data.size(), 0);
          std::copy(e.data.begin(), e.data.end(), tiff.begin() + makerNoteAt);
        }
    }
    tiff[0] = tiff[1] = uint8_t(m_order);
    auto c = U16(42), f = U32(8);
    std::copy(c.begin(), c.end(), tiff.begin() + 2);
    std::copy(f.begin(), f.end(), tiff.begin() + 4);
    Bytes block = {'E', 'x', 'i', 'f', 0, 0};
    block.insert(block.end(), tiff.begin(), tiff.end());
    return block;
  }

 private:
  char m_order;
};

inline Bytes Segment(uint16_t marker, const Bytes& payload) {
  Bytes s = {uint8_t(marker >> 8), uint8_t(marker), uint8_t((payload.size() + 2) >> 8),
             uint8_t(payload.size() + 2)};
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

inline Bytes XmpPayload(const std::string& body) {
  std::string s = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + body;
  return Bytes(s.begin(), s.end());
}

// Inserts segments right after SOI and the JFIF APP0 that libjpeg writes.
inline Bytes WithSegments(const Bytes& jpeg, const std::vector<Bytes>& segments) {
  size_t at = 2;
  if (jpeg.size() > 4 && jpeg[2] == 0xFF && jpeg[3] == 0xE0) at = 4 + ((jpeg[4] << 8) | jpeg[5]);
  Bytes out(jpeg.begin(), jpeg.begin() + long(at));
  for (const auto& s : segments) out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), jpeg.begin() + long(at), jpeg.end());
  return out;
}

// A small JPEG whose date taken is `date` ("YYYY:MM:DD HH:MM:SS").
inline Bytes JpegTaken(const std::string& date) {
  TiffBuilder tiff('I');
  tiff.ifd0.push_back(tiff.Ascii(0x010F, "Test"));
  tiff.ifd0.push_back(tiff.Ascii(0x0132, date));
  tiff.exif.push_back(tiff.Ascii(0x9003, date));
  return WithSegments(MakeJpeg(16, 16), {Segment(0xFFE1, tiff.Build())});
}

inline void Save(const std::string& path, const Bytes& b) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

inline Bytes Load(const std::string& path) {
  Bytes b;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  std::fclose(f);
  return b;
}

}  // namespace brisko::test
