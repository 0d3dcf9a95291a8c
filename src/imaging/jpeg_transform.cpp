#include "imaging/jpeg_transform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace brisko {

namespace {

struct TjHandle {
  explicit TjHandle(tjhandle h) : handle(h) {}
  ~TjHandle() {
    if (handle) tjDestroy(handle);
  }
  TjHandle(const TjHandle&) = delete;
  TjHandle& operator=(const TjHandle&) = delete;
  tjhandle handle;
};

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// libjpeg sizes its buffers from the frame header alone: a few bytes declaring 60000 x 60000
// would cost gigabytes and a minute of work. Camera photos stay below 16384 x 16384.
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;

bool PixelCountAcceptable(int width, int height) {
  return width > 0 && height > 0 && uint64_t(width) * uint64_t(height) <= kMaxPixels;
}

struct WarningCollector {
  jpeg_error_mgr mgr;
  jmp_buf jump;
  bool benign = true;
  int warnings = 0;
  std::string first;
};

bool BenignWarning(const jpeg_common_struct* cinfo) {
  const int code = cinfo->err->msg_code;
  // Stray bytes before a marker other than a restart marker sit between whole segments.
  if (code == JWRN_EXTRANEOUS_DATA) {
    const int marker = cinfo->err->msg_parm.i[1];
    return marker < 0xD0 || marker > 0xD7;
  }
  return code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_BOGUS_ICC;
}

}  // namespace

bool JpegWarningsAreBenign(const uint8_t* data, size_t size, std::string* message) {
  jpeg_decompress_struct cinfo{};
  WarningCollector collector;
  cinfo.err = jpeg_std_error(&collector.mgr);
  collector.mgr.error_exit = [](j_common_ptr c) {
    auto* w = reinterpret_cast<WarningCollector*>(c->err);
    longjmp(w->jump, 1);
  };
  collector.mgr.emit_message = [](j_common_ptr c, int level) {
    if (level != -1) return;
    auto* w = reinterpret_cast<WarningCollector*>(c->err);
    if (w->warnings++ == 0) {
      char text[JMSG_LENGTH_MAX];
      c->err->format_message(c, text);
      w->first = text;
    }
    if (!BenignWarning(c)) w->benign = false;
  };
  jpeg_create_decompress(&cinfo);
  bool ok = false;
  if (setjmp(collector.jump) == 0) {
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    if (PixelCountAcceptable(int(cinfo.image_width), int(cinfo.image_height))) {
      jpeg_read_coefficients(&cinfo);
      jpeg_finish_decompress(&cinfo);
      ok = collector.benign;
    }
  } else {
    char text[JMSG_LENGTH_MAX];
    cinfo.err->format_message(reinterpret_cast<j_common_ptr>(&cinfo), text);
    if (collector.first.empty()) collector.first = text;
  }
  jpeg_destroy_decompress(&cinfo);
  if (message) *message = collector.first;
  return ok;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxSize) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxSize) {
    close(fd);
    return false;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  out.resize(done);
  return true;
}

bool JpegLosslessTransform(const uint8_t* data, size_t size, JpegTransformCode code,
                           std::vector<uint8_t>& out, std::string* error, std::string* warning) {
  if (!data || size == 0 || size > 0xFFFFFFFFul) {
    SetError(error, "empty or oversized source");
    return false;
  }
  TjHandle tj(tjInitTransform());
  if (!tj.handle) {
    SetError(error, "tjInitTransform failed");
    return false;
  }
  tjtransform xform{};
  xform.op = code == JpegTransformCode::Rotate90 ? TJXOP_ROT90 : TJXOP_ROT270;
  xform.options = TJXOPT_TRIM;
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.handle, data, static_cast<unsigned long>(size), &width, &height, &subsamp,
                          &colorspace) != 0) {
    SetError(error, tjGetErrorStr2(tj.handle));
    return false;
  }
  if (!PixelCountAcceptable(width, height)) {
    SetError(error, "image too large");
    return false;
  }
  unsigned char* dst = nullptr;
  unsigned long dstSize = 0;
  // Stopping at the first warning: a truncated scan would otherwise be decoded to its declared end.
  int rc = tjTransform(tj.handle, data, static_cast<unsigned long>(size), 1, &dst, &dstSize, &xform,
                       TJFLAG_STOPONWARNING);
  if (rc != 0 && tjGetErrorCode(tj.handle) == TJERR_WARNING) {
    if (dst) tjFree(dst);
    dst = nullptr;
    dstSize = 0;
    // A damaged photo is never passed on as rotated; one libjpeg only frowns at is.
    std::string message;
    if (!JpegWarningsAreBenign(data, size, &message)) {
      SetError(error, "damaged JPEG data: " + message);
      return false;
    }
    rc = tjTransform(tj.handle, data, static_cast<unsigned long>(size), 1, &dst, &dstSize, &xform, 0);
    if (rc != 0 && tjGetErrorCode(tj.handle) == TJERR_WARNING) rc = 0;
    if (warning) *warning = message;
  }
  if (rc != 0 || !dst || dstSize == 0) {
    SetError(error, tjGetErrorStr2(tj.handle));
    if (dst) tjFree(dst);
    return false;
  }
  out.assign(dst, dst + dstSize);
  tjFree(dst);
  return true;
}

bool JpegLosslessTransformFile(const std::string& sourcePath, const std::string& destinationPath,
                               JpegTransformCode code, std::string* error) {
  std::vector<uint8_t> src;
  if (!ReadWholeFile(sourcePath, src)) {
    SetError(error, std::string("cannot read source: ") + std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> out;
  if (!JpegLosslessTransform(src.data(), src.size(), code, out, error)) return false;
  int fd = open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetError(error, std::string("cannot create destination: ") + std::strerror(errno));
    return false;
  }
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == out.size();
  if (close(fd) != 0) ok = false;
  if (!ok) {
    SetError(error, std::string("cannot write destination: ") + std::strerror(errno));
    unlink(destinationPath.c_str());
  }
  return ok;
}

bool JpegDecodePixels(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>& pixels, int& width, int& height,
                      int& channels) {
  if (jpeg.empty()) return false;
  TjHandle tj(tjInitDecompress());
  if (!tj.handle) return false;
  int subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.handle, jpeg.data(), jpeg.size(), &width, &height, &subsamp, &colorspace) != 0)
    return false;
  if (!PixelCountAcceptable(width, height)) return false;
  int format = colorspace == TJCS_GRAY ? TJPF_GRAY : TJPF_RGB;
  channels = tjPixelSize[format];
  pixels.resize(static_cast<size_t>(width) * height * channels);
  return tjDecompress2(tj.handle, jpeg.data(), jpeg.size(), pixels.data(), width, 0, height, format,
                       TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING) == 0;
}

}  // namespace brisko
