#pragma once
// Small photos of the kinds no redistributable camera file in the corpus has: a multi-picture
// (MPO) file, a motion photo with its video after the image, fill bytes before a marker and
// extraneous bytes before EOI, offsets that point past the EXIF block or after the picture, tags
// that share their bytes or a directory.
#include <algorithm>
#include <string>

#include "common/jpeg_builder.h"

namespace brisko::test {

// An upright-needing EXIF block (orientation 6, pixel dimensions) for these photos.
inline Bytes RotatableExif(int width, int height) {
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "Brisko"), t.Short(0x0112, 6)};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '2'}), t.Long(0xA002, uint32_t(width)),
            t.Long(0xA003, uint32_t(height))};
  return t.Build();
}

inline void Put32Le(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

inline uint32_t Get32Le(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// "MPF\0" + a little-endian MP index: version, two images, two 16-byte entries (sizes, offsets
// filled in by MakeMpo).
inline Bytes MpfPayload() {
  Bytes p = {'M', 'P', 'F', 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
  auto add16 = [&](uint16_t v) {
    p.push_back(uint8_t(v));
    p.push_back(uint8_t(v >> 8));
  };
  auto add32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) p.push_back(uint8_t(v >> (8 * i)));
  };
  add16(3);
  add16(0xB000), add16(7), add32(4), p.insert(p.end(), {'0', '1', '0', '0'});
  add16(0xB001), add16(4), add32(1), add32(2);
  add16(0xB002), add16(7), add32(32), add32(8 + 2 + 36 + 4);
  add32(0);
  add32(0x20030000), add32(0), add32(0), add32(0);  // primary image: offset 0
  add32(0x00020002), add32(0), add32(0), add32(0);  // second image
  return p;
}

// Offset of the MP entries inside the APP2 payload and of the TIFF header the offsets count from.
constexpr size_t kMpEntriesInPayload = 4 + 8 + 2 + 36 + 4;
constexpr size_t kMpHeaderInPayload = 4;

// Where an MPF APP2 payload starts in a file (0 when there is none).
inline size_t FindMpfPayload(const Bytes& file) {
  for (size_t i = 2; i + 8 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xE2 && file[i + 4] == 'M' && file[i + 5] == 'P' &&
        file[i + 6] == 'F')
      return i + 4;
    if (file[i] == 0xFF && file[i + 1] == 0xDA) break;
  }
  return 0;
}

// First picture (orientation 6) followed by a second one, joined by the MP index.
inline Bytes MakeMpo(Bytes* second = nullptr) {
  Bytes first =
      WithSegments(MakeJpeg(64, 48), {Segment(0xFFE1, RotatableExif(64, 48)), Segment(0xFFE2, MpfPayload())});
  Bytes two = MakeJpeg(32, 24);
  size_t mpf = FindMpfPayload(first);
  Put32Le(first, mpf + kMpEntriesInPayload + 4, uint32_t(first.size()));
  Put32Le(first, mpf + kMpEntriesInPayload + 16 + 4, uint32_t(two.size()));
  Put32Le(first, mpf + kMpEntriesInPayload + 16 + 8, uint32_t(first.size() - (mpf + kMpHeaderInPayload)));
  if (second) *second = two;
  first.insert(first.end(), two.begin(), two.end());
  return first;
}

// A phone's motion photo: XMP names the video's offset from the end of the file and says
// tiff:Orientation 6 like the EXIF block.
inline Bytes MakeMotionPhoto(Bytes* video = nullptr) {
  Bytes clip = {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'm',  'p',  '4',  '2',
                0, 0, 0, 0,    'i', 's', 'o', 'm', 0xFF, 0xD9, 0xFF, 0xD8};
  clip.resize(200, 0x5A);
  std::string xmp =
      "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
      "<rdf:Description rdf:about='' xmlns:tiff='http://ns.adobe.com/tiff/1.0/' "
      "xmlns:GCamera='http://ns.google.com/photos/1.0/camera/' tiff:Orientation='6' GCamera:MicroVideo='1' "
      "GCamera:MicroVideoVersion='1' GCamera:MicroVideoOffset='" +
      std::to_string(clip.size()) + "'/></rdf:RDF></x:xmpmeta>";
  Bytes photo = WithSegments(MakeJpeg(48, 32),
                             {Segment(0xFFE1, RotatableExif(48, 32)), Segment(0xFFE1, XmpPayload(xmp))});
  if (video) *video = clip;
  photo.insert(photo.end(), clip.begin(), clip.end());
  return photo;
}

// 0xFF fill bytes before the marker that follows the EXIF block, as the JPEG standard allows.
inline Bytes MakeFillBytesJpeg() {
  Bytes jpeg = WithSegments(MakeJpeg(40, 24), {Segment(0xFFE1, RotatableExif(40, 24))});
  size_t app1 = 2;
  if (jpeg[3] == 0xE0) app1 = 4 + ((jpeg[4] << 8) | jpeg[5]);
  size_t after = app1 + 2 + ((jpeg[app1 + 2] << 8) | jpeg[app1 + 3]);
  jpeg.insert(jpeg.begin() + long(after), {0xFF, 0xFF, 0xFF});
  return jpeg;
}

// Stray bytes between the scan and EOI: libjpeg warns ("extraneous bytes before marker") but the
// picture is whole.
inline Bytes MakeExtraneousBytesJpeg() {
  Bytes jpeg = WithSegments(MakeJpeg(40, 24), {Segment(0xFFE1, RotatableExif(40, 24))});
  // More than the Huffman decoder reads ahead, so libjpeg sees them as stray.
  jpeg.insert(jpeg.end() - 2, 64, 0x12);
  return jpeg;
}

// Points the first entry with this tag and type of a little-endian EXIF payload at `at`, or at the
// end of its block, as cameras that cut the block short leave it.
inline void PointPastTheBlock(Bytes& app1, uint16_t tag, uint16_t type, uint32_t at = 0) {
  const uint8_t head[4] = {uint8_t(tag), uint8_t(tag >> 8), uint8_t(type), uint8_t(type >> 8)};
  for (size_t i = 6; i + 12 <= app1.size(); ++i)
    if (std::equal(head, head + 4, app1.begin() + long(i)))
      return Put32Le(app1, i + 8, at != 0 ? at : uint32_t(app1.size() - 6));
}

// A photo needing rotation whose GPS IFD pointer (0x8825), FocalLength (0x920A) or UserComment
// (0x9286) offset points past the end of its EXIF block (or at `at`).
inline Bytes MakeDanglingOffsetJpeg(uint16_t tag, uint32_t at = 0) {
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "Brisko"), t.Short(0x0112, 6)};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '2'}), t.Rationals(0x920A, {{50, 10}})};
  if (tag == 0x9286) t.exif.push_back(t.Undef(0x9286, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'o', 'l', 'd'}));
  t.exif.push_back(t.Long(0xA002, 40));
  t.exif.push_back(t.Long(0xA003, 24));
  if (tag == 0x8825) t.gps = {t.Ascii(1, "N")};
  Bytes app1 = t.Build();
  PointPastTheBlock(app1, tag, tag == 0x8825 ? 4 : (tag == 0x920A ? 5 : 7), at);
  return WithSegments(MakeJpeg(40, 24), {Segment(0xFFE1, app1)});
}

// IFD1 describes a 28-byte thumbnail that is no decodable JPEG, as some edited files carry.
inline Bytes MakeStubThumbnailJpeg() {
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "Brisko"), t.Short(0x0112, 6)};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '2'}), t.Long(0xA002, 40), t.Long(0xA003, 24)};
  t.ifd1 = {t.Short(0x0103, 6), t.Rationals(0x011A, {{72, 1}}), t.Rationals(0x011B, {{72, 1}}),
            t.Short(0x0128, 2)};
  t.thumbnail = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 0x00, 0x00};
  t.thumbnail.resize(26, 0);
  t.thumbnail.insert(t.thumbnail.end(), {0xFF, 0xD9});
  return WithSegments(MakeJpeg(40, 24), {Segment(0xFFE1, t.Build())});
}

// An older Minolta's photo: the maker note (a directory of its own, offsets from the TIFF header)
// points at a preview JPEG stored after the picture's end. The DiMAGE 7Hi and A1 write the
// preview's first byte as 00 (firstByte 0).
inline Bytes MakeTrailerPreviewJpeg(Bytes* preview = nullptr, uint8_t firstByte = 0xFF) {
  Bytes small = MakeJpeg(24, 16);
  small[0] = firstByte;
  TiffBuilder t('I');
  Bytes note = {2, 0};
  for (uint16_t tag : {uint16_t(0x0088), uint16_t(0x0089)}) {
    const Bytes e = {uint8_t(tag), uint8_t(tag >> 8), 4, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    note.insert(note.end(), e.begin(), e.end());
  }
  note.resize(note.size() + 4, 0);
  Put32Le(note, 2 + 12 + 8, uint32_t(small.size()));
  t.ifd0 = {t.Ascii(0x010F, "Minolta Co., Ltd."), t.Short(0x0112, 6)};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '2'}), t.Undef(0x927C, note), t.Long(0xA002, 48),
            t.Long(0xA003, 32)};
  Bytes photo = WithSegments(MakeJpeg(48, 32), {Segment(0xFFE1, t.Build())});
  // The note's first entry: PreviewImageStart, counted from the TIFF header.
  const uint8_t start[8] = {0x88, 0, 4, 0, 1, 0, 0, 0};
  size_t tiff = 0;
  for (size_t i = 0; i + 6 <= photo.size(); ++i)
    if (photo[i] == 'E' && photo[i + 1] == 'x' && photo[i + 2] == 'i' && photo[i + 3] == 'f') {
      tiff = i + 6;
      break;
    }
  for (size_t i = tiff; i + 12 <= photo.size(); ++i)
    if (std::equal(start, start + 8, photo.begin() + long(i))) {
      Put32Le(photo, i + 8, uint32_t(photo.size() - tiff));
      break;
    }
  if (preview) *preview = small;
  photo.insert(photo.end(), small.begin(), small.end());
  return photo;
}

// An older Olympus's photo: its maker note (a directory of its own after "OLYMP", offsets from
// the TIFF header) reads CameraID from the first 32 bytes of the user comment's value.
inline Bytes MakeSharedCommentBytesJpeg() {
  TiffBuilder t('I');
  Bytes note = {'O', 'L', 'Y', 'M', 'P', 0, 1, 0, 1, 0, 0x09, 0x02, 7, 0, 32, 0, 0, 0};
  note.resize(note.size() + 4 + 4, 0);  // the offset, then no next directory
  Bytes comment(8, 0);
  const std::string text = "OLYMPUS DIGITAL CAMERA";
  comment.insert(comment.end(), text.begin(), text.end());
  comment.resize(64, ' ');
  t.ifd0 = {t.Ascii(0x010F, "OLYMPUS OPTICAL CO.,LTD"), t.Ascii(0x0110, "C40Z,D40Z")};
  t.exif = {t.Undef(0x9000, {'0', '2', '1', '0'}), t.Undef(0x927C, note), t.Undef(0x9286, comment)};
  Bytes app1 = t.Build();
  const auto at = std::search(app1.begin() + 6, app1.end(), comment.begin(), comment.end());
  const uint8_t head[8] = {0x09, 0x02, 7, 0, 32, 0, 0, 0};
  const auto entry = std::search(app1.begin(), app1.end(), head, head + 8);
  Put32Le(app1, size_t(entry - app1.begin()) + 8, uint32_t(at - app1.begin() - 6));
  return WithSegments(MakeJpeg(40, 24), {Segment(0xFFE1, app1)});
}

// A Kodak's photo: the Interop pointer points back at IFD0 itself, and IFD1 holds an
// uncompressed strip thumbnail.
inline Bytes MakeInteropAtIfd0Jpeg() {
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "Kodak"), t.Ascii(0x0110, "DCS ProBack"), t.Short(0x0112, 1),
            t.Ascii(0x0132, "2003:04:05 06:07:08")};
  t.exif = {t.Undef(0x9000, {'0', '2', '2', '0'}), t.Ascii(0x9003, "2003:04:05 06:07:08"), t.Long(0xA005, 8)};
  t.ifd1 = {t.Long(0x0100, 4), t.Long(0x0101, 4),  t.Short(0x0103, 1),
            t.Long(0x0111, 0), t.Short(0x0115, 3), t.Long(0x0117, 48)};
  Bytes app1 = t.Build();
  PointPastTheBlock(app1, 0x0111, 4);
  for (int i = 0; i < 48; ++i) app1.push_back(uint8_t(0x40 + i));
  return WithSegments(MakeJpeg(40, 24), {Segment(0xFFE1, app1)});
}

}  // namespace brisko::test
