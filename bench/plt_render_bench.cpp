// Renders a 24-megapixel camera JPEG into a 3000 x 2000 template with one photo hole, an RGBA
// overlay and one caption, and writes the JPEG with the photo's EXIF block; in the same run
// ImageMagick's `convert` and the `vips` command-line tools do the same compose (resize, place,
// overlay, annotate, save), and the ratios are printed. A last step renders an album of 10
// templates for BRISKO_BENCH_PHOTOS photos (default 100) in a child process and prints its peak
// resident memory. Work files go under $BRISKO_BENCH_DIR, else the current folder.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image_codec.h"
#include "layout/album_tools.h"
#include "layout/template_album.h"
#include "layout/template_render.h"

namespace {

using brisko::Image;

// The hole: 1500 x 1200 at (750, 400); the caption box: the band below it.
constexpr int kPageW = 3000, kPageH = 2000;
constexpr int kHoleX = 750, kHoleY = 400, kHoleW = 1500, kHoleH = 1200;

std::string WorkRoot() {
  static std::string root = [] {
    const char* base = std::getenv("BRISKO_BENCH_DIR");
    std::string tmpl = std::string(base ? base : ".") + "/plt_render_bench-XXXXXX";
    char* made = mkdtemp(tmpl.data());
    if (!made) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    return std::string(made);
  }();
  return root;
}

void Die(const std::string& what) {
  std::fprintf(stderr, "plt_render_bench: %s\n", what.c_str());
  std::exit(1);
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) Die("failed: " + command);
}

std::string TemplateXml(int index) {
  const std::string i = std::to_string(index);
  auto rect = [](const char* tag, double x, double y, double w, double h) {
    return std::string("<") + tag + "><m_fCropHeightPercentage>" + std::to_string(h) +
           "</m_fCropHeightPercentage><m_fCropWidthPercentage>" + std::to_string(w) +
           "</m_fCropWidthPercentage><m_fCropXOffsetPercentage>" + std::to_string(x) +
           "</m_fCropXOffsetPercentage><m_fCropYOffsetPercentage>" + std::to_string(y) +
           "</m_fCropYOffsetPercentage></" + tag + ">";
  };
  return "<TEMPLATE_" + i + "><TEMPLATE_VERSION>1</TEMPLATE_VERSION><NAME>Bench " + i +
         "</NAME><CATEGORY>Bench</CATEGORY><ARTIST>Bench</ARTIST><USESINGLEPHOTOIMAGE>0</USESINGLEPHOTOIMAGE>"
         "<ORIG_CX>3000</ORIG_CX><ORIG_CY>2000</ORIG_CY><APPVERSION>1</APPVERSION>"
         "<THUMBNAIL_IMAGEOFFSET></THUMBNAIL_IMAGEOFFSET><NUMPHOTORECTS>1</NUMPHOTORECTS>" +
         rect("PHOTORECT_0", 0.25, 0.2, 0.5, 0.6) + "<NUMPHOTOPREVIEWRECTS>1</NUMPHOTOPREVIEWRECTS>" +
         rect("PHOTOPREVIEWRECT_0", 0, 0, 0, 0) +
         "<NUMTRANSSETTINGS>0</NUMTRANSSETTINGS><NUMCAPTIONS>1</NUMCAPTIONS><CAPTION_0>"
         "<m_iCaptionType>0</m_iCaptionType><m_iPictureHoleIndex>0</m_iPictureHoleIndex>"
         "<m_strCaption>Bench caption</m_strCaption><m_iHorizAlignFlag>1</m_iHorizAlignFlag>"
         "<m_iVertAlignFlag>1</m_iVertAlignFlag><m_iFontSize>240</m_iFontSize><m_iFontOpacity>100</"
         "m_iFontOpacity>"
         "<m_bShadow>0</m_bShadow><m_bBold>0</m_bBold><m_bItalic>0</m_bItalic><m_TextRGB>8421504</m_TextRGB>"
         "<m_strFontFace>Arial</m_strFontFace><m_fCropHeightPercentage>0.1</m_fCropHeightPercentage>"
         "<m_fCropWidthPercentage>1</m_fCropWidthPercentage><m_fCropXOffsetPercentage>0</"
         "m_fCropXOffsetPercentage>"
         "<m_fCropYOffsetPercentage>0.85</m_fCropYOffsetPercentage></CAPTION_0>"
         "<BACKGROUND_IMAGEOFFSET>background.jpg</BACKGROUND_IMAGEOFFSET>"
         "<OVERLAY_IMAGEOFFSET>overlay.png</OVERLAY_IMAGEOFFSET><NUM_PICTURES>0</NUM_PICTURES></TEMPLATE_" +
         i + ">";
}

void PackAlbumOf(int templates, const std::string& path) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ALBUM><VERSION>1</VERSION><ALBUMID>1</ALBUMID>"
      "<ALBUM_NAME>Bench</ALBUM_NAME><TEMPLATES><NUMTEMPLATES>" +
      std::to_string(templates) + "</NUMTEMPLATES>";
  for (int i = 0; i < templates; ++i) xml += TemplateXml(i);
  xml += "</TEMPLATES></ALBUM>";
  const std::string src = WorkRoot() + "/album_" + std::to_string(templates) + ".xml";
  std::ofstream(src) << xml;
  std::string error;
  if (!brisko::PackAlbum(src, path, &error)) Die("pack: " + error);
}

// The photo (a real camera JPEG scaled to 6000 x 4000, its EXIF block kept, upright), the page and
// the overlay (opaque frame, transparent window over the hole) and the albums.
void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string root = WorkRoot();
  const std::string camera =
      std::string(BRISKO_SOURCE_DIR) + "/tests/data/jpeg/drewnoakes/Samsung_SM-J327T1.jpg";
  Image small, big;
  std::string reason;
  if (!brisko::DecodeImageFile(camera, brisko::kFormatJpeg, small, &reason)) Die(reason);
  if (!brisko::ResizeImage(small, 6000, 4000, big, &reason)) Die(reason);
  if (!brisko::EncodeImageFile(big, root + "/plain.jpg", &reason)) Die(reason);
  // Orientation 1: `vips thumbnail` would turn the photo upright, the others would not.
  if (!brisko::ReplicateExif(camera, root + "/plain.jpg", root + "/photo.jpg", 1)) Die("exif");

  Image page(kPageW, kPageH, 3);
  for (int y = 0; y < kPageH; ++y)
    for (int x = 0; x < kPageW; ++x) {
      uint8_t* p = page.At(x, y);
      p[0] = uint8_t(40 + x * 150 / kPageW);
      p[1] = uint8_t(60 + y * 120 / kPageH);
      p[2] = 160;
    }
  if (!brisko::EncodeImageFile(page, root + "/background.jpg", &reason)) Die(reason);
  Image overlay(kPageW, kPageH, 4, 0);
  for (int y = 0; y < kPageH; ++y)
    for (int x = 0; x < kPageW; ++x) {
      const bool window =
          x >= kHoleX + 20 && x < kHoleX + kHoleW - 20 && y >= kHoleY + 20 && y < kHoleY + kHoleH - 20;
      const bool frame =
          x >= kHoleX - 30 && x < kHoleX + kHoleW + 30 && y >= kHoleY - 30 && y < kHoleY + kHoleH + 30;
      uint8_t* p = overlay.At(x, y);
      p[0] = p[1] = p[2] = 245;
      p[3] = frame && !window ? 255 : 0;
    }
  if (!brisko::EncodeImageFile(overlay, root + "/overlay.png", &reason)) Die(reason);
  PackAlbumOf(1, root + "/one.plt");
  PackAlbumOf(10, root + "/ten.plt");
}

void BM_BriskoRender(benchmark::State& state) {
  Prepare();
  const std::string root = WorkRoot();
  brisko::TemplateAlbum album;
  if (!album.Load(root + "/one.plt")) Die("load");
  brisko::CTemplate& t = *album.m_Templates[0];
  for (auto _ : state) {
    t.SetPhoto(root + "/photo.jpg", 0);
    std::remove((root + "/ours.jpg").c_str());
    if (!t.SaveTemplateImage(root + "/ours.jpg", 1)) Die("render");
  }
}

// The caption is centred in the band under the hole, as ours.
void BM_ConvertCommand(benchmark::State& state) {
  Prepare();
  const std::string root = WorkRoot();
  const std::string cmd = "cd '" + root +
                          "' && /usr/bin/convert background.jpg \\( -define jpeg:size=3000x2400 photo.jpg "
                          "-resize 1500x1200^ -gravity center -extent 1500x1200 \\) -gravity NorthWest "
                          "-geometry +750+400 -composite overlay.png -composite -font Liberation-Sans "
                          "-pointsize 100 -fill '#808080' -gravity North -annotate +0+1720 'Bench caption' "
                          "-quality 92 magick.jpg";
  for (auto _ : state) Run(cmd);
}

void BM_VipsCommands(benchmark::State& state) {
  Prepare();
  const std::string root = WorkRoot();
  const std::string cmd =
      "cd '" + root +
      "' && vips thumbnail photo.jpg p.v 1500 --height 1200 --crop centre"
      " && vips insert background.jpg p.v c1.v 750 400"
      " && vips composite2 c1.v overlay.png c2.v over"
      " && vips text t.v 'Bench caption' --font 'Liberation Sans 100' --dpi 72"
      " && vips linear t.v g.v 0 128 --uchar"
      " && vips bandjoin 'g.v g.v g.v t.v' tx.v && vips copy tx.v tx2.v --interpretation srgb"
      " && vips composite2 c2.v tx2.v c3.v over --x 1200 --y 1730"
      " && vips flatten c3.v c4.v && vips jpegsave c4.v vips.jpg --Q 92";
  for (auto _ : state) Run(cmd);
}

BENCHMARK(BM_BriskoRender)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertCommand)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VipsCommands)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// 10 templates x N photos, one photo after the other as the action renders them.
int AlbumChild(const std::string& root, int photos) {
  brisko::TemplateAlbum album;
  if (!album.Load(root + "/ten.plt")) return 2;
  for (int i = 0; i < photos; ++i)
    for (auto& t : album.m_Templates) {
      t->SetPhoto(root + "/photo.jpg", 0);
      if (!t->SaveTemplateImage(root + "/album_out.jpg", 1)) return 3;
    }
  return 0;
}

// The child is a fresh process (libvips keeps threads, which a plain fork would not carry);
// its peak resident set in MiB.
double AlbumPeakMiB(int photos) {
  const std::string root = WorkRoot();
  const std::string count = std::to_string(photos);
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/proc/self/exe", "plt_render_bench", "--album-child", root.c_str(), count.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return double(usage.ru_maxrss) / 1024.0;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.iterations > 0)
        m_seconds[run.run_name.function_name] = run.real_accumulated_time / run.iterations;
  }
  std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--album-child") return AlbumChild(argv[2], std::atoi(argv[3]));
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double ours = reporter.m_seconds["BM_BriskoRender"];
  auto ratio = [&](const char* peer, const char* what) {
    const double b = reporter.m_seconds[peer];
    if (ours > 0 && b > 0)
      std::printf("24 MP photo into a 3000x2000 template: brisko / %s = %.2f\n", what, ours / b);
  };
  ratio("BM_ConvertCommand", "ImageMagick convert");
  ratio("BM_VipsCommands", "vips command-line tools");
  const char* n = std::getenv("BRISKO_BENCH_PHOTOS");
  const int photos = n ? std::atoi(n) : 100;
  if (photos > 0) {
    Prepare();
    std::printf("album of 10 templates x %d photos: peak memory %.0f MiB\n", photos, AlbumPeakMiB(photos));
  }
  std::system(("rm -rf '" + WorkRoot() + "'").c_str());
  return 0;
}
