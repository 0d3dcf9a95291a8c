#include "rawmeta/exiv2_setup.h"

#include <exiv2/exiv2.hpp>
#include <mutex>

namespace brisko {

void SetUpExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::LogMsg::setHandler(nullptr);
    Exiv2::XmpParser::initialize();
    Exiv2::enableBMFF(true);
  });
}

}  // namespace brisko
