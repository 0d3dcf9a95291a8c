#pragma once
// EXIF values by path, for naming tests that need no JPEG files.
#include <map>
#include <string>

#include "naming/exif_access.h"

namespace brisko::test {

class FakeExif final : public ExifAccess {
 public:
  bool ReadUserComment(const std::string& path, std::string& text) override {
    ++commentReads;
    auto it = comments.find(path);
    if (it == comments.end()) return false;
    text = it->second;
    return true;
  }
  bool ReadDateTime(const std::string& path, std::time_t& when) override {
    auto it = dates.find(path);
    if (it == dates.end()) return false;
    when = it->second;
    return true;
  }
  bool WriteUserComment(const std::string& comment, const std::string& source,
                        const std::string& destination) override {
    written[destination] = comment;
    lastSource = source;
    return writeResult;
  }

  std::map<std::string, std::string> comments;
  std::map<std::string, std::time_t> dates;
  std::map<std::string, std::string> written;
  std::string lastSource;
  bool writeResult = true;
  int commentReads = 0;
};

}  // namespace brisko::test
