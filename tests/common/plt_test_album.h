#pragma once
// Small albums for rendering tests, packed from a directory document the way --plt-pack does.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/hostile_inputs.h"
#include "imaging/image_codec.h"
#include "layout/album_tools.h"

namespace brisko::test {

struct TestHole {
  double x = 0.25, y = 0.25, w = 0.5, h = 0.5;
  std::string transSetting;  // children of TRANSSETTING_<i> after NUMTRANSSETS ("" for none)
};

struct TestTemplate {
  std::string background = "page.jpg";  // an image file in the album folder, "" for none
  std::string overlay;
  std::vector<TestHole> holes{TestHole{}};
  std::string captions;  // CAPTION_<i> elements
  int numCaptions = 0;
};

// A solid picture file of the given colour (red, green, blue).
inline bool WriteSolidImage(const std::string& path, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  Image img(w, h, 3);
  for (size_t i = 0; i < img.pixels.size(); i += 3) {
    img.pixels[i] = r;
    img.pixels[i + 1] = g;
    img.pixels[i + 2] = b;
  }
  return EncodeImageFile(img, path, nullptr);
}

// Writes `folder`/page.jpg (300 x 200 blue) and the album; returns the album path ("" on
// failure). A template whose background is "bad.jpg" gets a block that cannot be decoded.
inline std::string MakeTestAlbum(const std::string& folder, const std::vector<TestTemplate>& templates) {
  if (!WriteSolidImage(folder + "/page.jpg", 300, 200, 0, 0, 255)) return "";
  if (!WriteSolidImage(folder + "/bad.jpg", 300, 200, 0, 255, 0)) return "";
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ALBUM><VERSION>1</VERSION><ALBUMID>1</ALBUMID>"
      "<ALBUM_NAME>Test</ALBUM_NAME><TEMPLATES><NUMTEMPLATES>" +
      std::to_string(templates.size()) + "</NUMTEMPLATES>";
  for (size_t t = 0; t < templates.size(); ++t) {
    const TestTemplate& tt = templates[t];
    const std::string n = std::to_string(tt.holes.size());
    xml += "<TEMPLATE_" + std::to_string(t) + "><TEMPLATE_VERSION>1</TEMPLATE_VERSION><NAME>T" +
           std::to_string(t) +
           "</NAME><CATEGORY>C</CATEGORY><ARTIST>A</ARTIST><APPVERSION>1</APPVERSION>"
           "<THUMBNAIL_IMAGEOFFSET></THUMBNAIL_IMAGEOFFSET><NUMPHOTORECTS>" +
           n + "</NUMPHOTORECTS>";
    for (size_t i = 0; i < tt.holes.size(); ++i) {
      const TestHole& h = tt.holes[i];
      xml += Rect("PHOTORECT_" + std::to_string(i), h.x, h.y, h.w, h.h);
    }
    xml += "<NUMPHOTOPREVIEWRECTS>" + n + "</NUMPHOTOPREVIEWRECTS>";
    for (size_t i = 0; i < tt.holes.size(); ++i)
      xml += Rect("PHOTOPREVIEWRECT_" + std::to_string(i), 0, 0, 0, 0);
    xml += "<NUMTRANSSETTINGS>" + n + "</NUMTRANSSETTINGS>";
    for (size_t i = 0; i < tt.holes.size(); ++i) {
      const std::string tag = "TRANSSETTING_" + std::to_string(i);
      xml +=
          "<" + tag + ">" +
          (tt.holes[i].transSetting.empty() ? "<NUMTRANSSETS>0</NUMTRANSSETS>" : tt.holes[i].transSetting) +
          "</" + tag + ">";
    }
    xml += "<NUMCAPTIONS>" + std::to_string(tt.numCaptions) + "</NUMCAPTIONS>" + tt.captions +
           "<BACKGROUND_IMAGEOFFSET>" + tt.background + "</BACKGROUND_IMAGEOFFSET><OVERLAY_IMAGEOFFSET>" +
           tt.overlay + "</OVERLAY_IMAGEOFFSET><NUM_PICTURES>0</NUM_PICTURES></TEMPLATE_" +
           std::to_string(t) + ">";
  }
  xml += "</TEMPLATES></ALBUM>";
  std::ofstream(folder + "/album.xml") << xml;
  const std::string album = folder + "/album.plt";
  if (!PackAlbum(folder + "/album.xml", album, nullptr)) return "";
  // The packer checks every picture, so the damage is done afterwards, in the album itself.
  std::ifstream badIn(folder + "/bad.jpg", std::ios::binary);
  const std::string bad((std::istreambuf_iterator<char>(badIn)), std::istreambuf_iterator<char>());
  std::fstream file(album, std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (size_t at = bytes.find(bad); at != std::string::npos; at = bytes.find(bad, at + 1)) {
    file.seekp(std::streamoff(at));
    file.write("XXXX", 4);
  }
  return file ? album : "";
}

}  // namespace brisko::test
