#pragma once
// What name generation needs from the station, passed in by the caller.
#include <array>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace brisko {

class ExifAccess;
class SettingsStore;

// Barcode slots: 0 person, 1 group, 2 venue, 3 product, 4 quantity, 5-8 options 1-4, 9 alpha.
inline constexpr int kBarcodeSlots = 10;

// The values of the batch's ID.TXT record that naming reads.
struct IdTxtValues {
  std::string m_strFilePath;
  std::string m_strPhotoGrapherID;
  std::string m_strEventID;
  std::string m_strCardID;
  std::string m_strUserID1;
  std::string m_strUserID2;
  std::string m_strUserID3;
  int m_iBatchID = 0;
};

// The station's values at the time of the call.
struct NamingContext {
  std::array<std::string, kBarcodeSlots> barcodes;
  std::string operatorText;
  int fileCounter = 1;
  int batchCounter = 1;
  // Hands out a new batch ID (the stored counter + 1, written back). Called once for every
  // "Batch ID" component of a name generated without an ID.TXT record.
  std::function<int()> newBatchId;
  ExifAccess* exif = nullptr;  // null: DefaultExifAccess()
  // The time "current" components use; the time of the call when not set.
  std::optional<std::time_t> now;
};

// The batch ID counter "Actions"/"m_iBatchID": returns the stored value + 1 and stores it.
int NewBatchIdFromStore(SettingsStore& store);

}  // namespace brisko
