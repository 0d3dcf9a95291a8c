#include "rawmeta/xmp_sidecar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exiv2/exiv2.hpp>

#include "rawmeta/exiv2_setup.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

constexpr const char* kCommentKey = "Xmp.exif.UserComment";
// The toolkit parses nested elements recursively; real packets are a few levels deep.
constexpr int kMaxNesting = 64;

bool Fail(std::string* whyNot, const std::string& why) {
  if (whyNot) *whyNot = why;
  return false;
}

// The code point of the UTF-8 sequence at text[i] and its length; 0 length when malformed.
size_t DecodeUtf8(const std::string& text, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > text.size()) return 0;
  cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

std::string XmlSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t len = DecodeUtf8(text, i, cp);
    const bool allowed =
        len > 0 && (cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp != 0xFFFE && cp != 0xFFFF));
    if (allowed) {
      out.append(text, i, len);
      i += len;
    } else {
      out += '?';
      i += len > 0 ? len : 1;
    }
  }
  return out;
}

// Refuses text nested deeper than kMaxNesting elements (an approximate count of tags is enough).
bool NestingBounded(const std::string& text) {
  int depth = 0;
  for (size_t i = text.find('<'); i != std::string::npos; i = text.find('<', i + 1)) {
    if (i + 1 >= text.size()) break;
    const char next = text[i + 1];
    if (next == '/') {
      --depth;
    } else if (next != '?' && next != '!') {
      const size_t end = text.find('>', i);
      if (end == std::string::npos) break;
      if (text[end - 1] != '/' && ++depth > kMaxNesting) return false;
    }
  }
  return true;
}

bool Decode(const std::string& packet, Exiv2::XmpData& xmp, std::string* whyNot) {
  if (!NestingBounded(packet)) return Fail(whyNot, "its XMP is nested too deeply");
  try {
    if (Exiv2::XmpParser::decode(xmp, packet) != 0) return Fail(whyNot, "its XMP cannot be read");
  } catch (const std::exception& e) {
    return Fail(whyNot, std::string("its XMP cannot be read: ") + e.what());
  } catch (...) {
    return Fail(whyNot, "its XMP cannot be read");
  }
  return true;
}

// Reads the whole sidecar; a missing file is an empty one (exists = false).
bool ReadSidecar(const std::string& path, std::string& text, bool& exists, mode_t& mode,
                 std::string* whyNot) {
  text.clear();
  exists = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    return Fail(whyNot, std::string("cannot be read: ") + std::strerror(errno));
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) {
    ::close(fd);
    return Fail(whyNot, "not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxSidecarSize) {
    ::close(fd);
    return Fail(whyNot, "too large for a sidecar");
  }
  exists = true;
  mode = st.st_mode & 07777;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxSidecarSize) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok ? true : Fail(whyNot, "cannot be read");
}

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

bool MergeSidecarUserComment(const std::string& existing, const std::string& text, std::string& merged,
                             std::string* whyNot) {
  SetUpExiv2();
  if (existing.size() > kMaxSidecarSize) return Fail(whyNot, "too large for a sidecar");
  Exiv2::XmpData xmp;
  if (!IsBlank(existing) && !Decode(existing, xmp, whyNot)) return false;
  try {
    const Exiv2::XmpKey key(kCommentKey);
    for (auto it = xmp.findKey(key); it != xmp.end(); it = xmp.findKey(key)) xmp.erase(it);
    Exiv2::LangAltValue value;
    value.value_["x-default"] = XmlSafe(text);
    xmp.add(key, &value);
    std::string packet;
    if (Exiv2::XmpParser::encode(
            packet, xmp, Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) != 0)
      return Fail(whyNot, "the XMP cannot be written");
    merged = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + packet;
  } catch (const std::exception& e) {
    return Fail(whyNot, std::string("the XMP cannot be written: ") + e.what());
  } catch (...) {
    return Fail(whyNot, "the XMP cannot be written");
  }
  return true;
}

bool WriteSidecarUserComment(const std::string& xmpPath, const std::string& text, std::string* whyNot) {
  std::string existing, merged;
  bool exists = false;
  mode_t mode = 0;
  if (!ReadSidecar(xmpPath, existing, exists, mode, whyNot)) return false;
  if (!MergeSidecarUserComment(existing, text, merged, whyNot)) return false;
  SafeOutput out;
  if (!out.Open(xmpPath)) return Fail(whyNot, std::string("cannot be created: ") + std::strerror(errno));
  // The replacement keeps the permissions the sidecar had.
  if (exists) (void)::fchmod(out.Fd(), mode);
  if (!WriteAll(out.Fd(), merged.data(), merged.size()) || !out.Commit())
    return Fail(whyNot, std::string("cannot be written: ") + std::strerror(errno));
  return true;
}

bool ReadSidecarUserComment(const std::string& xmpPath, std::string& text, std::string* whyNot) {
  SetUpExiv2();
  std::string packet;
  bool exists = false;
  mode_t mode = 0;
  if (!ReadSidecar(xmpPath, packet, exists, mode, whyNot)) return false;
  if (!exists) return Fail(whyNot, "no sidecar");
  Exiv2::XmpData xmp;
  if (!Decode(packet, xmp, whyNot)) return false;
  try {
    auto it = xmp.findKey(Exiv2::XmpKey(kCommentKey));
    if (it == xmp.end()) return Fail(whyNot, "no user comment");
    if (const auto* alt = dynamic_cast<const Exiv2::LangAltValue*>(&it->value())) {
      auto entry = alt->value_.find("x-default");
      if (entry == alt->value_.end()) entry = alt->value_.begin();
      if (entry == alt->value_.end()) return Fail(whyNot, "no user comment");
      text = entry->second;
    } else {
      text = it->toString();
    }
  } catch (...) {
    return Fail(whyNot, "its XMP cannot be read");
  }
  return true;
}

}  // namespace brisko
