#include "layout/album_tools.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>

#include "support/file_ops.h"
#include "support/safe_output.h"
#include "support/xml_document.h"

namespace brisko {

namespace {

constexpr int64_t kEmptyBlockOffset = 12;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

bool ReadWholeFile(const std::string& path, int64_t limit, std::vector<uint8_t>& data, std::string* error) {
  Fd fd;
  fd.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0) return Fail(error, path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode) || st.st_size > limit)
    return Fail(error, path + ": not a regular file of a usable size");
  data.resize(size_t(st.st_size));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::read(fd.fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return Fail(error, path + ": " + (n < 0 ? std::strerror(errno) : "file shrank while reading"));
    done += size_t(n);
  }
  return true;
}

void PutInt32(std::vector<uint8_t>& out, int32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(uint32_t(v) >> (8 * i)));
}

std::string Unescape(std::string_view s) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&lt;", '<'}, {"&amp;", '&'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool done = false;
    if (s[i] == '&') {
      for (const auto& e : kEntities) {
        const size_t len = std::strlen(e.entity);
        if (s.substr(i, len) == e.entity) {
          out += e.c;
          i += len;
          done = true;
          break;
        }
      }
    }
    if (!done) out += s[i++];
  }
  const size_t b = out.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return out.substr(b, out.find_last_not_of(" \t\r\n") - b + 1);
}

// Calls `replace` with the content of every element whose name contains "IMAGEOFFSET" and puts
// what it returns in its place; comments are left alone. An empty element "<X/>" is given an
// empty content and written out in full.
bool RewriteImageElements(
    const std::string& text,
    const std::function<bool(const std::string& content, std::string& replacement)>& replace,
    std::string& out, std::string* error) {
  out.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lt = text.find('<', pos);
    if (lt == std::string::npos) break;
    if (text.compare(lt, 4, "<!--") == 0) {
      const size_t end = text.find("-->", lt + 4);
      const size_t stop = end == std::string::npos ? text.size() : end + 3;
      out.append(text, pos, stop - pos);
      pos = stop;
      continue;
    }
    size_t nameEnd = lt + 1;
    while (nameEnd < text.size() && !std::strchr(" \t\r\n/>=<[", text[nameEnd])) ++nameEnd;
    const std::string name = text.substr(lt + 1, nameEnd - lt - 1);
    const size_t gt = text.find('>', nameEnd);
    if (name.empty() || name[0] == '/' || name.find("IMAGEOFFSET") == std::string::npos ||
        gt == std::string::npos) {
      const size_t stop = gt == std::string::npos ? text.size() : gt + 1;
      out.append(text, pos, stop - pos);
      pos = stop;
      continue;
    }
    out.append(text, pos, lt - pos);
    std::string content;
    size_t after = gt + 1;
    if (text[gt - 1] != '/') {
      const std::string close = "</" + name + ">";
      const size_t end = text.find(close, gt + 1);
      if (end == std::string::npos) return Fail(error, "element " + name + " is not closed");
      content = Unescape(std::string_view(text).substr(gt + 1, end - gt - 1));
      after = end + close.size();
    }
    std::string replacement;
    if (!replace(content, replacement)) return false;
    out += "<" + name + ">" + replacement + "</" + name + ">";
    pos = after;
  }
  if (pos < text.size()) out.append(text, pos, std::string::npos);
  return true;
}

bool AppendBlock(std::vector<uint8_t>& out, int format, const std::vector<uint8_t>& data) {
  if (data.size() > size_t(kMaxBlockSize)) return false;
  PutInt32(out, int32_t(data.size()));
  PutInt32(out, format);
  out.insert(out.end(), data.begin(), data.end());
  return true;
}

// The block bytes (header included) that store the picture file at `path`.
bool MakeBlock(const std::string& path, std::vector<uint8_t>& block, std::string* error) {
  const int format = ImageFormatFromPath(path);
  if (format == kFormatUnknown || format == kFormatHeif)
    return Fail(error, path + ": not an image format an album can hold");
  std::vector<uint8_t> data;
  if (!ReadWholeFile(path, kMaxBlockSize / 2, data, error)) return false;
  Image image;
  std::string reason;
  if (format != kFormatWmf && format != kFormatEmf &&
      !DecodeImage(data.data(), data.size(), format, image, &reason))
    return Fail(error, path + ": " + reason);
  block.clear();
  if (format != kFormatPng || image.channels != 4) {
    AppendBlock(block, format, data);
    return true;
  }
  Image colour(image.width, image.height, 3), mask(image.width, image.height, 3);
  for (size_t i = 0, n = size_t(image.width) * size_t(image.height); i < n; ++i) {
    std::memcpy(&colour.pixels[i * 3], &image.pixels[i * 4], 3);
    std::memset(&mask.pixels[i * 3], image.pixels[i * 4 + 3], 3);
  }
  std::vector<uint8_t> colourPng, maskPng, nested;
  if (!EncodeImage(colour, kFormatPng, colourPng, &reason) ||
      !EncodeImage(mask, kFormatPng, maskPng, &reason))
    return Fail(error, path + ": " + reason);
  AppendBlock(nested, kFormatPng, colourPng);
  AppendBlock(nested, kFormatPng, maskPng);
  return AppendBlock(block, kFormatCompound, nested) || Fail(error, path + ": too large");
}

bool WriteNewFile(const std::string& path, const void* data, size_t size, std::string* error) {
  SafeOutput out;
  if (!out.Open(path) || !WriteAll(out.Fd(), data, size) || !out.Commit())
    return Fail(error, "cannot write " + path + ": " + std::strerror(errno));
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

const char* FormatName(int format) {
  switch (format) {
    case kFormatJpeg:
      return "JPEG";
    case kFormatPng:
      return "PNG";
    case kFormatBmp:
      return "BMP";
    case kFormatPcx:
      return "PCX";
    case kFormatTiff:
      return "TIFF";
    case kFormatTga:
      return "TGA";
    case kFormatWmf:
      return "WMF";
    case kFormatPsd:
      return "PSD";
    case kFormatEmf:
      return "EMF";
    case kFormatWbmp:
      return "WBMP";
    case kFormatCompound:
      return "transparent";
    default:
      return "unknown format";
  }
}

// From the header only: an album may name one huge picture from thousands of templates.
std::string DescribeImage(const TemplateImage& image,
                          std::map<std::pair<std::string, int64_t>, std::string>& seen) {
  if (!image.HasSource()) return image.IsLoaded() ? "in memory" : "none";
  const auto key = std::make_pair(image.SourcePath(), image.SourceOffset());
  if (auto it = seen.find(key); it != seen.end()) return it->second;
  ImageHeader header;
  std::string reason;
  char buf[160];
  if (image.ReadHeader(header, &reason))
    std::snprintf(buf, sizeof buf, "%s %d x %d", FormatName(image.SourceFormat()), header.width,
                  header.height);
  else
    std::snprintf(buf, sizeof buf, "%s, unreadable (%.100s)", FormatName(image.SourceFormat()),
                  reason.c_str());
  return seen[key] = buf;
}

std::string DescribeRect(const TemplateRect& r, int w, int h) {
  const PixelRect p = r.ToPixels(w, h);
  char buf[160];
  std::snprintf(buf, sizeof buf, "x %d-%d, y %d-%d", p.left, p.right, p.top, p.bottom);
  return buf;
}

bool IsNumberName(const std::string& n) {
  static const char* const kPrefixes[] = {"m_i", "m_b", "m_e", "NUM", "m_Trans", "m_rgb", "m_DontConstrain"};
  for (const char* p : kPrefixes)
    if (n.rfind(p, 0) == 0) return true;
  static const char* const kNames[] = {"VERSION",    "ALBUMID",      "TEMPLATE_VERSION",    "APPVERSION",
                                       "ORIG_CX",    "ORIG_CY",      "USESINGLEPHOTOIMAGE", "m_BrightnessTol",
                                       "m_RedShift", "m_GreenShift", "m_BlueShift",         "m_TextRGB"};
  for (const char* k : kNames)
    if (n == k) return true;
  return false;
}

// The range a packed value must lie in; names not listed take any int32.
void RangeOf(const std::string& n, int64_t& lo, int64_t& hi) {
  lo = std::numeric_limits<int32_t>::min();
  hi = std::numeric_limits<int32_t>::max();
  if (n == "ALBUMID") {
    lo = std::numeric_limits<int64_t>::min();
    hi = std::numeric_limits<int64_t>::max();
  } else if (n == "NUMTEMPLATES") {
    lo = 0;
    hi = kMaxTemplates;
  } else if (n.rfind("NUM", 0) == 0) {
    lo = 0;
    hi = kMaxListItems;
  } else if (n == "m_iFontSize") {
    lo = 1;
    hi = 10000;  // a line 4166 pixels high at design size
  } else if (n == "m_iFontOpacity") {
    lo = 0;
    hi = 100;
  } else if (n == "ORIG_CX" || n == "ORIG_CY") {
    lo = 0;
    hi = 100000;
  } else if (n == "m_TextRGB" || n.rfind("m_rgb", 0) == 0 || n == "m_TransRGB") {
    lo = 0;
    hi = 0xFFFFFF;
  }
}

// Every number of the source document read strictly, so a slip shows before the album is
// made: the loader would read "big" as 0 and "2x" as 2 without a word.
bool CheckSourceValues(XmlDocument& doc, const std::string& path, int depth, std::string* error) {
  while (doc.FindElem()) {
    const std::string name = doc.GetTagName();
    const std::string here = path.empty() ? name : path + "/" + name;
    const std::string text = Unescape(doc.GetData());
    if (!text.empty() && IsNumberName(name)) {
      int64_t value = 0;
      const char* first = text.data() + (text[0] == '+' ? 1 : 0);
      auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
      if (ec == std::errc::result_out_of_range) return Fail(error, here + ": '" + text + "' is out of range");
      if (ec != std::errc() || end != text.data() + text.size())
        return Fail(error, here + ": '" + text + "' is not a number");
      int64_t lo = 0, hi = 0;
      RangeOf(name, lo, hi);
      if (value < lo || value > hi)
        return Fail(error, here + ": " + text + " is out of range (" + std::to_string(lo) + " to " +
                               std::to_string(hi) + ")");
    } else if (!text.empty() && name.rfind("m_fCrop", 0) == 0) {
      double value = 0;
      const char* first = text.data() + (text[0] == '+' ? 1 : 0);
      auto [end, ec] = std::from_chars(first, text.data() + text.size(), value, std::chars_format::general);
      if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return Fail(error, here + ": '" + text + "' is not a number");
      // Fractions of the page: a size up to four pages, a corner up to four pages away.
      const bool size = name.find("Height") != std::string::npos || name.find("Width") != std::string::npos;
      if (size ? (value < 0 || value > 4) : (value < -4 || value > 4))
        return Fail(error, here + ": " + text + " is out of range (" + (size ? "0" : "-4") + " to 4)");
    }
    // Albums are a few levels deep; what lies deeper is not read by the loader either.
    if (depth < 16 && doc.IntoElem()) {
      if (!CheckSourceValues(doc, here, depth + 1, error)) return false;
      doc.OutOfElem();
    }
  }
  return true;
}

}  // namespace

bool PackAlbum(const std::string& sourceXml, const std::string& outPath, std::string* error) {
  std::vector<uint8_t> raw;
  if (!ReadWholeFile(sourceXml, int64_t(XmlDocument::kMaxDocumentSize), raw, error)) return false;
  const std::string source(raw.begin(), raw.end());
  XmlDocument check;
  if (!check.SetDoc(source))
    return Fail(error, sourceXml + ": not a well-formed document (" + check.GetError() + ")");
  if (!check.FindElem("ALBUM")) return Fail(error, sourceXml + ": no ALBUM element");
  check.ResetPos();
  if (!CheckSourceValues(check, "", 0, error)) {
    if (error && error->rfind("ALBUM/TEMPLATES/", 0) == 0) error->erase(0, 16);
    if (error) *error = sourceXml + ": " + *error;
    return false;
  }

  std::vector<uint8_t> file;
  PutInt32(file, kAlbumVersion);
  for (int i = 0; i < 8; ++i) file.push_back(0);  // directory offset, set below
  PutInt32(file, 0);                              // the empty block every image-less element names
  PutInt32(file, 0);
  std::map<std::string, int64_t> packed;
  const std::string base = FolderOf(sourceXml);
  std::string directory;
  auto pack = [&](const std::string& content, std::string& replacement) {
    if (content.empty()) {
      replacement = std::to_string(kEmptyBlockOffset);
      return true;
    }
    const std::string path = content[0] == '/' ? content : base + "/" + content;
    auto it = packed.find(path);
    if (it == packed.end()) {
      std::vector<uint8_t> block;
      if (!MakeBlock(path, block, error)) return false;
      if (file.size() + block.size() > size_t(std::numeric_limits<int64_t>::max() / 2))
        return Fail(error, "album too large");
      it = packed.emplace(path, int64_t(file.size())).first;
      file.insert(file.end(), block.begin(), block.end());
    }
    replacement = std::to_string(it->second);
    return true;
  };
  if (!RewriteImageElements(source, pack, directory, error)) return false;
  if (directory.size() > XmlDocument::kMaxDocumentSize) return Fail(error, "directory too large");
  const uint64_t d = file.size();
  for (int i = 0; i < 8; ++i) file[size_t(4 + i)] = uint8_t(d >> (8 * i));
  PutInt32(file, int32_t(directory.size()));
  file.insert(file.end(), directory.begin(), directory.end());
  return WriteNewFile(outPath, file.data(), file.size(), error);
}

bool UnpackAlbum(const std::string& albumPath, const std::string& dir, std::string* error) {
  Fd fd;
  fd.fd = ::open(albumPath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0) return Fail(error, albumPath + ": " + std::strerror(errno));
  std::string text, reason;
  if (!ReadAlbumDirectory(fd.fd, st.st_size, albumPath, text, &reason))
    return Fail(error, albumPath + ": " + reason);
  XmlDocument check;
  if (!check.SetDoc(text))
    return Fail(error, albumPath + ": the directory is not well-formed (" + check.GetError() + ")");

  int err = 0;
  if (!CreateFolderPath(dir, &err)) return Fail(error, dir + ": " + std::strerror(err));
  if (DIR* d = ::opendir(dir.c_str())) {
    bool empty = true;
    while (dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    ::closedir(d);
    if (!empty) return Fail(error, dir + ": folder is not empty");
  } else {
    return Fail(error, dir + ": " + std::strerror(errno));
  }

  std::map<int64_t, std::string> written;
  auto unpack = [&](const std::string& content, std::string& replacement) {
    const int64_t offset = ParseDirectoryInt(content);
    ImageBlockHeader h;
    if (offset < kEmptyBlockOffset || !ReadImageBlockHeader(fd.fd, st.st_size, offset, h) || h.size < 1) {
      replacement.clear();
      return true;
    }
    if (auto it = written.find(offset); it != written.end()) {
      replacement = it->second;
      return true;
    }
    std::vector<uint8_t> data;
    std::string name = "image_" + std::to_string(written.size() + 1);
    std::string why;
    if (h.format == kFormatCompound) {
      Image rgba;
      if (!DecodeImageBlock(fd.fd, st.st_size, offset, rgba, &why) ||
          !EncodeImage(rgba, kFormatPng, data, &why))
        return Fail(error, "image block at " + std::to_string(offset) + ": " + why);
      name += ".png";
    } else {
      if (h.size > kMaxBlockSize || offset + 8 + int64_t(h.size) > int64_t(st.st_size))
        return Fail(error, "image block at " + std::to_string(offset) + " does not fit in the file");
      data.resize(size_t(h.size));
      if (::pread(fd.fd, data.data(), data.size(), offset + 8) != ssize_t(data.size()))
        return Fail(error, "cannot read image block at " + std::to_string(offset));
      const char* ext = ImageFormatExtension(h.format);
      if (!*ext)
        return Fail(error, "image block at " + std::to_string(offset) + " has unknown format " +
                               std::to_string(h.format));
      name += ext;
    }
    if (!WriteNewFile(dir + "/" + name, data.data(), data.size(), error)) return false;
    written.emplace(offset, name);
    replacement = name;
    return true;
  };
  std::string source;
  if (!RewriteImageElements(text, unpack, source, error)) return false;
  return WriteNewFile(dir + "/album.xml", source.data(), source.size(), error);
}

std::string DescribeAlbum(const TemplateAlbum& album) {
  std::map<std::pair<std::string, int64_t>, std::string> seen;
  std::string out;
  char buf[512];
  std::snprintf(buf, sizeof buf, "Album: %.200s\nTemplates: %zu\n", album.m_strAlbumName.c_str(),
                album.m_Templates.size());
  out += buf;
  for (const auto& tp : album.m_Templates) {
    const CTemplate& t = *tp;
    std::snprintf(buf, sizeof buf, "\nTemplate %d: %.200s\n", t.m_iIndex + 1, t.m_strName.c_str());
    out += buf;
    if (!t.m_strCategory.empty() || !t.m_strArtist.empty()) {
      std::snprintf(buf, sizeof buf, "  category: %.150s, artist: %.150s\n", t.m_strCategory.c_str(),
                    t.m_strArtist.c_str());
      out += buf;
    }
    std::snprintf(buf, sizeof buf, "  design size: %d x %d%s\n", t.m_iOrigCx, t.m_iOrigCy,
                  t.m_bUseSinglePhotoImage ? ", every hole shows the first photo" : "");
    out += buf;
    std::snprintf(buf, sizeof buf, "  holes: %zu\n", t.m_PhotoRects.size());
    out += buf;
    for (size_t i = 0; i < t.m_PhotoRects.size(); ++i) {
      std::string line = "    hole " + std::to_string(i + 1) + ": " +
                         DescribeRect(t.m_PhotoRects[i], t.m_iOrigCx, t.m_iOrigCy);
      if (i < t.m_TransSettings.size()) {
        const TransSetting& s = t.m_TransSettings[i];
        if (s.m_iRotateDegrees != 0) line += ", rotated " + std::to_string(s.m_iRotateDegrees);
        if (s.m_bTransColors && !s.m_TransSets.empty())
          line += ", " + std::to_string(s.m_TransSets.size()) + " colour keys";
        if (s.m_bTransRange) line += ", colour range";
        if (s.m_eColourType == 1) line += ", greyscale";
        if (s.m_eColourType == 2) line += ", sepia";
      }
      if (i < t.m_Pictures.size() && t.m_Pictures[i].HasSource())
        line += ", sample picture " + DescribeImage(t.m_Pictures[i], seen);
      out += line + "\n";
    }
    std::snprintf(buf, sizeof buf, "  captions: %zu\n", t.m_Captions.size());
    out += buf;
    for (size_t i = 0; i < t.m_Captions.size(); ++i) {
      const TemplateCaption& c = t.m_Captions[i];
      std::snprintf(buf, sizeof buf, "    caption %zu: type %d, hole %d, \"%.120s\", %.60s %d%s%s, %s\n",
                    i + 1, c.m_iCaptionType, c.m_iPictureHoleIndex + 1, c.m_strCaption.c_str(),
                    c.m_strFontFace.c_str(), c.m_iFontSize, c.m_bBold ? " bold" : "",
                    c.m_bItalic ? " italic" : "", DescribeRect(c.m_Rect, t.m_iOrigCx, t.m_iOrigCy).c_str());
      out += buf;
    }
    out += "  thumbnail: " + DescribeImage(t.m_Thumbnail, seen) + "\n";
    out += "  background: " + DescribeImage(t.m_Background, seen) + "\n";
    out += "  overlay: " + DescribeImage(t.m_Overlay, seen) + "\n";
  }
  return out;
}

}  // namespace brisko
