#include "naming/brisko_exif_fields.h"

#include <utility>
#include <vector>

#include "imagemeta/jpeg_exif_file.h"
#include "naming/exif_access.h"
#include "naming/naming_text.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

constexpr const char kBarcodeKey[] = "m_strBarcodeInputsArray";

// Splits `text` at `sep`, skipping empty pieces.
std::vector<std::string> SplitNonEmpty(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t next = text.find(sep, pos);
    if (next == std::string::npos) next = text.size();
    if (next > pos) out.push_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
  return out;
}

// The pairs of the block syntax; a later pair with the same key replaces an earlier one.
std::map<std::string, std::string> ParsePairs(const std::string& text) {
  std::map<std::string, std::string> pairs;
  for (const std::string& token : SplitNonEmpty(text, '|')) {
    std::vector<std::string> pieces = SplitNonEmpty(token, '=');
    if (pieces.size() < 2) continue;
    pairs[pieces[0]] = pieces[1];
  }
  return pairs;
}

// The block has no escaping. A value is written only up to its first "|", "=" or NUL: readers
// keep no more of it anyway, and the rest must not be read as further pairs (a barcode
// "1|m_strEventID=X" would otherwise set the event ID) or end the comment early.
constexpr char kSeparators[] = {'|', '=', '\0'};

void AppendPair(std::string& out, const std::string& key, const std::string& value) {
  if (key.empty() || key.find_first_of(kSeparators, 0, sizeof(kSeparators)) != std::string::npos) return;
  std::string cut = value.substr(0, value.find_first_of(kSeparators, 0, sizeof(kSeparators)));
  if (cut.empty()) return;
  out += key;
  out += '=';
  out += cut;
  out += '|';
}

bool TakeText(std::map<std::string, std::string>& pairs, const char* key, std::string& field) {
  auto it = pairs.find(key);
  if (it == pairs.end()) return false;
  field = std::move(it->second);
  pairs.erase(it);
  return true;
}

// The block's named fields in the order they are written; the batch ID, a number, has no text.
struct BlockField {
  const char* key;
  std::string BriskoExifFields::*text;
};
constexpr BlockField kBlockFields[] = {
    {"m_strOperatorSelectedText", &BriskoExifFields::m_strOperatorSelectedText},
    {"m_strIDFilepath", &BriskoExifFields::m_strIDFilepath},
    {"m_strPhotoGrapherID", &BriskoExifFields::m_strPhotoGrapherID},
    {"m_strEventID", &BriskoExifFields::m_strEventID},
    {"m_strCardID", &BriskoExifFields::m_strCardID},
    {"m_strUserID1", &BriskoExifFields::m_strUserID1},
    {"m_strUserID2", &BriskoExifFields::m_strUserID2},
    {"m_strUserID3", &BriskoExifFields::m_strUserID3},
    {"m_iBatchID", nullptr},
    {"m_origFilename", &BriskoExifFields::m_origFilename},
    {"m_origFilepath", &BriskoExifFields::m_origFilepath},
    {"m_BriskoExifOrigUserComments", &BriskoExifFields::m_BriskoExifOrigUserComments},
};

// A comment the photo had before a block was written is kept inside the block.
void KeepOriginalComment(std::string& kept, const std::string& comment) {
  if (comment.compare(0, 11, BriskoExifFields::kBlockPrefix) == 0) return;
  if (kept.empty()) {
    kept = comment;
  } else {
    kept += "~" + comment;
  }
}

}  // namespace

std::string BriskoExifCustomMap::ToText() const {
  std::string out;
  for (const auto& [key, value] : m_map) {
    out += key;
    out += '=';
    out += value;
    out += '|';
  }
  return out;
}

void BriskoExifCustomMap::FromText(const std::string& text) {
  m_map = ParsePairs(text);
}

void BriskoExifCustomMap::Merge(const BriskoExifCustomMap& other) {
  for (const auto& [key, value] : other.m_map) m_map[key] = value;
}

void BriskoExifCustomMap::Assign(const BriskoExifCustomMap& other) {
  if (this == &other) return;
  m_map.clear();
  Merge(other);
}

const std::string* BriskoExifCustomMap::Find(const std::string& name) const {
  auto it = m_map.find(name);
  return it == m_map.end() ? nullptr : &it->second;
}

std::string BriskoExifFields::BuildBlock() const {
  std::string out = kBlockPrefix;
  for (const BlockField& f : kBlockFields) {
    if (f.text)
      AppendPair(out, f.key, this->*f.text);
    else if (m_iBatchID > 0)
      AppendPair(out, f.key, std::to_string(m_iBatchID));
  }
  for (int i = 0; i < kBarcodeSlots; ++i) {
    AppendPair(out, std::string(kBarcodeKey) + "_" + std::to_string(i), m_strBarcodeInputsArray[i]);
  }
  for (const auto& [key, value] : m_CustomFields.Entries()) AppendPair(out, key, value);
  return out;
}

void BriskoExifFields::ParseBlock(const std::string& comment) {
  std::map<std::string, std::string> pairs;
  const std::string prefix = kBlockPrefix;
  if (comment.compare(0, prefix.size(), prefix) == 0) {
    // Every occurrence of the prefix goes, also one that the removal of another brings
    // together ("BriskoBriskoExif:Exif:"): a rebuilt block must not carry the prefix in a value.
    std::string rest;
    rest.reserve(comment.size());
    for (char c : comment) {
      rest += c;
      if (rest.size() >= prefix.size() &&
          rest.compare(rest.size() - prefix.size(), prefix.size(), prefix) == 0) {
        rest.resize(rest.size() - prefix.size());
      }
    }
    pairs = ParsePairs(rest);
  }

  for (const BlockField& f : kBlockFields) {
    std::string batch;
    if (f.text)
      TakeText(pairs, f.key, this->*f.text);
    else if (TakeText(pairs, f.key, batch))
      m_iBatchID = ParseBatchIdValue(batch);
  }
  for (int i = 0; i < kBarcodeSlots; ++i) {
    std::string key = std::string(kBarcodeKey) + "_" + std::to_string(i);
    TakeText(pairs, key.c_str(), m_strBarcodeInputsArray[i]);
  }

  BriskoExifCustomMap custom;
  for (const auto& [key, value] : pairs) custom.Set(key, value);
  m_CustomFields = std::move(custom);
}

void BriskoExifFields::ReadFromFile(const std::string& path, ExifAccess& exif) {
  std::string comment;
  if (exif.ReadUserComment(path, comment)) ParseBlock(comment);
}

bool BriskoExifFields::WriteToFile(const std::string& source, const std::string& destination,
                                   ExifAccess& exif) {
  std::string comment;
  if (exif.ReadUserComment(source, comment)) KeepOriginalComment(m_BriskoExifOrigUserComments, comment);
  return exif.WriteUserComment(BuildBlock(), source, destination);
}

bool BriskoExifFields::WriteToDescriptor(const std::string& source, int fd) {
  JpegExifFile file;
  if (!file.Parse(source)) return false;
  std::string comment;
  // As WriteToFile: only ".jpg" files are read for their comment.
  if (HasJpgExtension(source) && file.GetUserComment(comment))
    KeepOriginalComment(m_BriskoExifOrigUserComments, comment);
  return WriteExifUserCommentTo(file, BuildBlock(), fd);
}

void CompleteFieldsForWrite(BriskoExifFields& fields, const std::string& filePath, const CIdTxt* idTxt,
                            const std::array<std::string, kBarcodeSlots>& barcodes,
                            const std::string& operatorText, const BriskoExifCustomMap& actionFields) {
  if (fields.m_origFilepath.empty()) fields.m_origFilepath = filePath;
  if (fields.m_origFilename.empty()) {
    PathParts parts = SplitPath(filePath);
    fields.m_origFilename = parts.name + parts.extension;
  }
  if (idTxt != nullptr) {
    fields.m_iBatchID = idTxt->m_iBatchID;
    fields.m_strCardID = idTxt->m_strCardID;
    fields.m_strEventID = idTxt->m_strEventID;
    fields.m_strIDFilepath = idTxt->m_strFilePath;
    fields.m_strPhotoGrapherID = idTxt->m_strPhotographerID;
    fields.m_strUserID1 = idTxt->m_strUserID1;
    fields.m_strUserID2 = idTxt->m_strUserID2;
    fields.m_strUserID3 = idTxt->m_strUserID3;
  }
  fields.m_strBarcodeInputsArray = barcodes;
  fields.m_strOperatorSelectedText = operatorText;
  fields.m_CustomFields.Merge(actionFields);
}

bool SaveActionCustomFields(SettingsStore& store, const std::string& section,
                            const BriskoExifCustomMap& fields) {
  return store.WriteProfileString(section, "m_BriskoExifCustomActionFieldsMap", fields.ToText());
}

void LoadActionCustomFields(SettingsStore& store, const std::string& section, BriskoExifCustomMap& fields,
                            BriskoExifCustomMap& knownNames) {
  fields.FromText(store.GetProfileString(section, "m_BriskoExifCustomActionFieldsMap", ""));
  knownNames.Merge(fields);
}

}  // namespace brisko
