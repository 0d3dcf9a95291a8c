#pragma once
// What name generation needs from the station, passed in by the caller.
#include <array>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace brisko {

class ExifAccess;

// Barcode slots: 0 person, 1 group, 2 venue, 3 product, 4 quantity, 5-8 options 1-4, 9 alpha.
inline constexpr int kBarcodeSlots = 10;

// The photo as it was listed, for a name generated on a copy the station made for its own
// steps (a rotated or tagged file under a temporary name): the name, extension and times
// components read this instead of the copy.
struct ListedPhoto {
  std::string path;
  std::time_t modTime = 0;
  std::time_t createTime = 0;
};

// The station's values at the time of the call.
struct NamingContext {
  std::array<std::string, kBarcodeSlots> barcodes;
  std::string operatorText;
  int fileCounter = 1;
  int batchCounter = 1;
  // Hands out a new batch ID (the stored counter + 1, written back; the station passes
  // NewBatchId of its store). Called once for every "Batch ID" component of a name generated
  // without an ID.TXT record.
  std::function<int()> newBatchId;
  ExifAccess* exif = nullptr;  // null: DefaultExifAccess()
  // The time "current" components use; the time of the call when not set.
  std::optional<std::time_t> now;
  std::optional<ListedPhoto> listed;
};

}  // namespace brisko
