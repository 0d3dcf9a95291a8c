#pragma once
// Album tools for the command line: there is no album designer on Linux, so albums are packed
// from a source document and unpacked back to one.
//
// The source document is the album's directory document in which every element whose name
// contains "IMAGEOFFSET" holds an image file path (relative to the document) instead of a block
// offset; an empty element means no image. A PNG with transparency is packed as a colour image
// plus a mask (format 25); other files are stored byte for byte under the format of their
// extension.
#include <string>

#include "layout/template_album.h"

namespace brisko {

// Builds `outPath` from `sourceXml`, writing a temporary file that is renamed into place.
bool PackAlbum(const std::string& sourceXml, const std::string& outPath, std::string* error);
// Writes `dir`/album.xml and the album's images (image_N.ext) into `dir`, which must be empty
// or missing; packing album.xml again gives an album that loads to the same templates.
bool UnpackAlbum(const std::string& albumPath, const std::string& dir, std::string* error);
// The album name and, per template, name, design size, holes, captions and images.
std::string DescribeAlbum(const TemplateAlbum& album);

}  // namespace brisko
