#pragma once
// Small hand-made files that once cost minutes or gigabytes in the imaging path: JPEGs with
// lying headers or endless segments, and albums written byte by byte (the packer would refuse
// them) whose holes, captions and images ask for far more than they hold.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common/jpeg_builder.h"

namespace brisko::test {

// Empty APP2 segments after SOI (the encoder's JFIF segment follows them).
inline Bytes JpegWithManySegments(int count = 200000) {
  const Bytes base = MakeJpeg(16, 16);
  Bytes out(base.begin(), base.begin() + 2);
  for (int i = 0; i < count; ++i) out.insert(out.end(), {0xFF, 0xE2, 0x00, 0x02});
  out.insert(out.end(), base.begin() + 2, base.end());
  return out;
}

// A progressive JPEG whose last scan is repeated until it has `scans` of them.
inline Bytes JpegWithManyScans(int scans = 20000) {
  const Bytes base = MakeJpeg(64, 64, true);
  size_t last = 0;
  int have = 0;
  for (size_t i = 2; i + 1 < base.size(); ++i)
    if (base[i] == 0xFF && base[i + 1] == 0xDA) {
      last = i;
      ++have;
    }
  Bytes out(base.begin(), base.begin() + int64_t(last));
  for (int i = have - 1; i < scans; ++i) out.insert(out.end(), base.begin() + int64_t(last), base.end() - 2);
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

// Frame header says 10000 x 10000; the scan stops 200 bytes in.
inline Bytes JpegCutShort() {
  Bytes jpeg = MakeJpeg(256, 256);
  for (size_t i = 2; i + 8 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = jpeg[i + 7] = 10000 >> 8;
      jpeg[i + 6] = jpeg[i + 8] = 10000 & 0xFF;
      break;
    }
  for (size_t i = 2; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
      jpeg.resize(i + 2 + size_t(jpeg[i + 2] << 8 | jpeg[i + 3]) + 200);
      break;
    }
  return jpeg;
}

// Whole in structure, but the middle of its scan data overwritten.
inline Bytes JpegWithCorruptScan() {
  Bytes jpeg = MakeJpeg(256, 256);
  for (size_t i = jpeg.size() / 2; i < jpeg.size() / 2 + 300; ++i) jpeg[i] = 0x55;
  return jpeg;
}

// An album container written directly: blocks first, then the directory naming their offsets.
class RawAlbum {
 public:
  RawAlbum() { m_bytes.resize(12, 0); }
  // Offset of a new block holding `data` as format `format`.
  int64_t Add(int format, const Bytes& data) {
    const int64_t at = int64_t(m_bytes.size());
    Put32(int32_t(data.size()));
    Put32(format);
    m_bytes.insert(m_bytes.end(), data.begin(), data.end());
    return at;
  }
  // A transparent block: colour then mask.
  int64_t AddCompound(const Bytes& colour, const Bytes& mask, int innerFormat = 1) {
    Bytes nested;
    for (const Bytes* part : {&colour, &mask}) {
      for (int i = 0; i < 4; ++i) nested.push_back(uint8_t(uint32_t(part->size()) >> (8 * i)));
      for (int i = 0; i < 4; ++i) nested.push_back(uint8_t(uint32_t(innerFormat) >> (8 * i)));
      nested.insert(nested.end(), part->begin(), part->end());
    }
    return Add(25, nested);
  }
  bool Write(const std::string& path, const std::string& directory) {
    Bytes out = m_bytes;
    const uint64_t d = out.size();
    for (int i = 0; i < 4; ++i) out[size_t(i)] = uint8_t(101u >> (8 * i));
    for (int i = 0; i < 8; ++i) out[size_t(4 + i)] = uint8_t(d >> (8 * i));
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(uint32_t(directory.size()) >> (8 * i)));
    out.insert(out.end(), directory.begin(), directory.end());
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    return bool(f);
  }

 private:
  void Put32(int32_t v) {
    for (int i = 0; i < 4; ++i) m_bytes.push_back(uint8_t(uint32_t(v) >> (8 * i)));
  }
  Bytes m_bytes;
};

inline std::string Rect(const std::string& tag, double x, double y, double w, double h) {
  return "<" + tag + "><m_fCropHeightPercentage>" + std::to_string(h) + "</m_fCropHeightPercentage>" +
         "<m_fCropWidthPercentage>" + std::to_string(w) + "</m_fCropWidthPercentage>" +
         "<m_fCropXOffsetPercentage>" + std::to_string(x) + "</m_fCropXOffsetPercentage>" +
         "<m_fCropYOffsetPercentage>" + std::to_string(y) + "</m_fCropYOffsetPercentage></" + tag + ">";
}

struct RawTemplate {
  int64_t background = 0;  // block offsets; 0 for none
  int64_t overlay = 0;
  int64_t thumbnail = 0;
  int holes = 1;
  double holeSize = 0.5;  // of the page, each way
  bool singlePhoto = false;
  std::string captions;  // CAPTION_<i> elements
  int numCaptions = 0;
};

inline std::string RawDirectory(const std::vector<RawTemplate>& templates) {
  std::string xml = "<ALBUM><VERSION>1</VERSION><ALBUM_NAME>Hostile</ALBUM_NAME><TEMPLATES><NUMTEMPLATES>" +
                    std::to_string(templates.size()) + "</NUMTEMPLATES>";
  for (size_t t = 0; t < templates.size(); ++t) {
    const RawTemplate& r = templates[t];
    const std::string n = std::to_string(r.holes);
    xml += "<TEMPLATE_" + std::to_string(t) + "><NAME>T" + std::to_string(t) +
           "</NAME><USESINGLEPHOTOIMAGE>" + (r.singlePhoto ? "1" : "0") +
           "</USESINGLEPHOTOIMAGE><THUMBNAIL_IMAGEOFFSET>" + std::to_string(r.thumbnail) +
           "</THUMBNAIL_IMAGEOFFSET><NUMPHOTORECTS>" + n + "</NUMPHOTORECTS>";
    for (int i = 0; i < r.holes; ++i)
      xml += Rect("PHOTORECT_" + std::to_string(i), 0.01 * i, 0.01 * i, r.holeSize, r.holeSize);
    xml += "<NUMPHOTOPREVIEWRECTS>" + n + "</NUMPHOTOPREVIEWRECTS>";
    for (int i = 0; i < r.holes; ++i) xml += Rect("PHOTOPREVIEWRECT_" + std::to_string(i), 0, 0, 0, 0);
    xml += "<NUMCAPTIONS>" + std::to_string(r.numCaptions) + "</NUMCAPTIONS>" + r.captions +
           "<BACKGROUND_IMAGEOFFSET>" + std::to_string(r.background) +
           "</BACKGROUND_IMAGEOFFSET><OVERLAY_IMAGEOFFSET>" + std::to_string(r.overlay) +
           "</OVERLAY_IMAGEOFFSET><NUM_PICTURES>0</NUM_PICTURES></TEMPLATE_" + std::to_string(t) + ">";
  }
  return xml + "</TEMPLATES></ALBUM>";
}

inline std::string Caption(int index, const std::string& text, int fontSize, double y = 0) {
  return "<CAPTION_" + std::to_string(index) + "><m_strCaption>" + text +
         "</m_strCaption><m_iHorizAlignFlag>0</m_iHorizAlignFlag><m_iVertAlignFlag>0</m_iVertAlignFlag>"
         "<m_iFontSize>" +
         std::to_string(fontSize) +
         "</m_iFontSize><m_iFontOpacity>100</m_iFontOpacity><m_bShadow>1</m_bShadow><m_bBold>0</m_bBold>"
         "<m_bItalic>0</m_bItalic><m_TextRGB>0</m_TextRGB><m_strFontFace>Arial</m_strFontFace>" +
         "<m_fCropHeightPercentage>1</m_fCropHeightPercentage><m_fCropWidthPercentage>1</"
         "m_fCropWidthPercentage>"
         "<m_fCropXOffsetPercentage>0</m_fCropXOffsetPercentage><m_fCropYOffsetPercentage>" +
         std::to_string(y) + "</m_fCropYOffsetPercentage></CAPTION_" + std::to_string(index) + ">";
}

}  // namespace brisko::test
