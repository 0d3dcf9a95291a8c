// Read arbitrary bytes as a bare EXIF block; parse, query and rebuild them as a JPEG file (EXIF
// changed in place), walk to the picture's end, check an MP index, parse the rebuilt file again,
// then tag it through the file-level writer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "imagemeta/jpeg_exif_file.h"

namespace {

std::string TempPath(const char* tag) {
  return std::string("/dev/shm/jpeg_exif_fuzz_") + tag + "_" + std::to_string(getpid()) + ".jpg";
}

bool Store(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

void Exercise(brisko::JpegExifFile& f) {
  uint16_t o;
  uint32_t w, h;
  std::string text;
  float la, lo;
  f.GetOrientation(o);
  f.GetPixelDimensions(w, h);
  f.GetUserComment(text);
  f.GetDateTime(text);
  std::time_t taken;
  f.GetDateTaken(taken);
  f.GetGpsPosition(la, lo);
  f.SetOrientation(1);
  f.SetPixelDimensions(123, 456);
  f.SetUserComment("BriskoExif:fuzz|");
  f.SetXmpOrientation(1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = TempPath("in");
  static const std::string out = TempPath("out");
  static const std::string tagged = TempPath("tagged");
  static const bool cleanup = [] {
    std::atexit([] {
      unlink(in.c_str());
      unlink(out.c_str());
      unlink(tagged.c_str());
    });
    return true;
  }();
  (void)cleanup;
  // The same bytes as a bare EXIF block, as a HEIF file keeps it.
  std::time_t taken;
  brisko::ReadTiffDateTaken(std::vector<uint8_t>(data, data + size), taken);
  if (!Store(in, data, size)) return 0;
  brisko::JpegExifFile f;
  if (!f.Parse(in)) return 0;
  // The walk to the picture's end and the MP index check read the whole file.
  std::vector<uint8_t> bytes(data, data + size);
  if (auto end = brisko::FindJpegImageEnd(data, size, f.sosPosition)) {
    if (*end + 2 > size) __builtin_trap();
    brisko::CheckMultiPictureIndex(bytes, *end);
  }
  Exercise(f);
  std::vector<uint8_t> header;
  if (!f.BuildHeader(header)) return 0;
  // The rebuilt header followed by the original scan must parse again.
  if (f.sosPosition > size) __builtin_trap();
  header.insert(header.end(), data + f.sosPosition, data + size);
  if (!Store(out, header.data(), header.size())) return 0;
  brisko::JpegExifFile again;
  if (again.Parse(out)) Exercise(again);
  // The file-level writer also moves maker-note offsets that point after the picture.
  brisko::WriteExifUserComment("BriskoExif:fuzz|", in, tagged);
  return 0;
}
