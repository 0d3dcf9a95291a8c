#pragma once
// The BriskoExif field set: the station's own metadata about a photo, kept as a
// "BriskoExif:key=value|..." block in the EXIF user comment of JPEG files.
#include <array>
#include <map>
#include <string>
#include <utility>

#include "naming/naming_inputs.h"
#include "scheduler/id_txt.h"

namespace brisko {

class ExifAccess;
class SettingsStore;

// A map of custom field names to values in the block's pair syntax ("name=value|" per entry).
// An action keeps its own (`m_BriskoExifCustomActionFieldsMap`); the station keeps one more
// holding every name known from all actions, which feeds the dialogs' name choices.
class BriskoExifCustomMap {
 public:
  BriskoExifCustomMap() = default;
  // Implicit, so that a plain map (as an action record may hold it) can be passed directly.
  BriskoExifCustomMap(std::map<std::string, std::string> entries) : m_map(std::move(entries)) {}

  std::string ToText() const;
  void FromText(const std::string& text);        // replaces the map
  void Merge(const BriskoExifCustomMap& other);  // other's values win
  void Assign(const BriskoExifCustomMap& other);
  void Set(const std::string& name, const std::string& value) { m_map[name] = value; }
  bool Remove(const std::string& name) { return m_map.erase(name) > 0; }
  const std::string* Find(const std::string& name) const;
  bool Empty() const { return m_map.empty(); }
  size_t Size() const { return m_map.size(); }
  void Clear() { m_map.clear(); }
  const std::map<std::string, std::string>& Entries() const { return m_map; }
  std::map<std::string, std::string>& Entries() { return m_map; }
  bool operator==(const BriskoExifCustomMap&) const = default;

 private:
  std::map<std::string, std::string> m_map;
};

class BriskoExifFields {
 public:
  static constexpr const char* kBlockPrefix = "BriskoExif:";

  std::string BuildBlock() const;
  // Updates the fields from a comment; a comment that does not start with the block prefix
  // reads no pair and so empties the custom map.
  void ParseBlock(const std::string& comment);
  // Reads the file's user comment and parses it; a file without one leaves the set as it was.
  void ReadFromFile(const std::string& path, ExifAccess& exif);
  // Keeps the source's foreign user comment in m_BriskoExifOrigUserComments, then writes the
  // source to the destination with the block as its user comment.
  bool WriteToFile(const std::string& source, const std::string& destination, ExifAccess& exif);
  // The same onto an open, empty, readable file (no flush: a batch flushes at once), reading the
  // source's EXIF block once for both the comment kept and the copy.
  bool WriteToDescriptor(const std::string& source, int fd);

  bool operator==(const BriskoExifFields&) const = default;

  std::array<std::string, kBarcodeSlots> m_strBarcodeInputsArray;
  std::string m_strOperatorSelectedText;
  std::string m_strIDFilepath;
  std::string m_strPhotoGrapherID;
  std::string m_strEventID;
  std::string m_strCardID;
  std::string m_strUserID1;
  std::string m_strUserID2;
  std::string m_strUserID3;
  int m_iBatchID = 0;
  std::string m_origFilename;
  std::string m_origFilepath;
  std::string m_BriskoExifOrigUserComments;
  BriskoExifCustomMap m_CustomFields;
};

// What the copy and move steps do to a file's field set before writing its block (only when
// the action's m_bAddOrUpdateBriskoExif is on): keep the first name and path the file was seen
// under, take the batch's ID.TXT values, the current barcode values and operator text, and the
// action's custom fields (action values win).
void CompleteFieldsForWrite(BriskoExifFields& fields, const std::string& filePath, const CIdTxt* idTxt,
                            const std::array<std::string, kBarcodeSlots>& barcodes,
                            const std::string& operatorText, const BriskoExifCustomMap& actionFields);

// The action's own custom fields in its section, as one text "m_BriskoExifCustomActionFieldsMap"
// in the pair syntax. Loading replaces the map and merges it into the station's known names.
bool SaveActionCustomFields(SettingsStore& store, const std::string& section,
                            const BriskoExifCustomMap& fields);
void LoadActionCustomFields(SettingsStore& store, const std::string& section, BriskoExifCustomMap& fields,
                            BriskoExifCustomMap& knownNames);

}  // namespace brisko
