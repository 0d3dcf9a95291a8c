#include "naming/name_template.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "naming/naming_text.h"
#include "support/folder_enum.h"
#include "support/settings_store.h"

namespace brisko {

struct FileTimes {
  std::time_t modTime = 0;
  std::time_t createTime = 0;
};

namespace {

// What a component appends.
enum class V {
  kOrigName,
  kNumericOrig,
  kOrigExt,
  kText,
  kFileCounter,
  kBatchCounter,
  kFileMod,     // file last-write time, in `format`
  kFileCreate,  // file creation time, in `format`
  kNow,         // time of the call, in `format`
  kTimeT,
  kLiteral,  // `format` itself
  kIdTxt,    // ID.TXT text number `arg`
  kBatchId,
  kSubstring,
  kBarcode,  // current barcode slot `arg`, cleaned
  kOperatorText,
  kExifDate,  // EXIF date taken, in `format`
  kExifUserComment,
  kFsBarcode,  // field set barcode slot `arg`
  kFsText,     // field set text number `arg`
  kFsBatchId,
  kFsOrigFilename,
  kFsOrigFileExt,
  kCustomField,
};

struct Component {
  const char* menuText;
  const char* token;  // "" for the text and custom key components: they show their own text
  V value;
  int arg = 0;
  const char* format = "";
};

constexpr const char kYmd[] = "%Y-%m-%d";
constexpr const char kHms[] = "%H~%M~%S";

const Component kRenameTable[] = {
    {"01 Original File Name (no extension)", "OrigFilename", V::kOrigName},
    {"02 Numeric Contents of Orig Name (no extension)", "NumericOrig", V::kNumericOrig},
    {"03 Original File Extension (.jpg)", ".OrigExt", V::kOrigExt},
    {"04 Text (specifed by you)", "", V::kText},
    {"05 Incremental File Counter (eg: 000234)", "FileCounter", V::kFileCounter},
    {"06 Incremental Batch Counter (eg: 000123)", "BatchCounter", V::kBatchCounter},
    {"07 File Last Modified Date (yyyy-mm-dd)", "yyyy-mm-dd", V::kFileMod, 0, kYmd},
    {"08 File Create Date (yyyy-mm-dd)", "yyyy-mm-dd", V::kFileCreate, 0, kYmd},
    {"09 Current Date (yyyy-mm-dd)", "yyyy-mm-dd", V::kNow, 0, kYmd},
    {"10 File Last Modified Time (hh~mm~ss)", "hh~mm~ss", V::kFileMod, 0, kHms},
    {"11 File Create Time (hh~mm~ss)", "hh~mm~ss", V::kFileCreate, 0, kHms},
    {"14 Current Time (hh~mm~ss)", "hh~mm~ss", V::kNow, 0, kHms},
    {"15 time_t (seconds since January 1, 1970", "time_t", V::kTimeT},
    {"16 Dash character (-)", "-", V::kLiteral, 0, "-"},
    {"17 Underscore Character (_)", "_", V::kLiteral, 0, "_"},
    {"18 Dot Character (.)", ".", V::kLiteral, 0, "."},
    {"19 Photographer ID (if ID.TXT file available)", "PhotogID", V::kIdTxt, 0},
    {"20 Card ID (if ID.TXT file available)", "CardID", V::kIdTxt, 1},
    {"21 Event ID (if ID.TXT file available)", "EventID", V::kIdTxt, 2},
    {"22 User definable ID 1 (if ID.TXT file available)", "UserID1", V::kIdTxt, 3},
    {"23 User definable ID 2 (if ID.TXT file available)", "UserID2", V::kIdTxt, 4},
    {"24 User definable ID 3 (if ID.TXT file available)", "UserID3", V::kIdTxt, 5},
    {"25 Unique Batch ID (from ID.TXT file if available)", "BatchID", V::kBatchId},
    {"26 Substring from filename", "SubString", V::kSubstring},
    {"27 Barcode Person ID (prefix with 1)", "BarcodePersonID", V::kBarcode, 0},
    {"28 Barcode Group ID (prefix with 2)", "BarcodeGroupID", V::kBarcode, 1},
    {"29 Barcode Venue ID (prefix with 3)", "BarcodeVenueID", V::kBarcode, 2},
    {"30 Barcode Product ID (prefix with 4)", "BarcodeProductID", V::kBarcode, 3},
    {"31 Barcode Quantity ID (prefix with 5)", "BarcodeQuantityID", V::kBarcode, 4},
    {"32 Barcode Option ID 1 (prefix with 6)", "BarcodeOptionID1", V::kBarcode, 5},
    {"33 Barcode Option ID 2 (prefix with 7)", "BarcodeOptionID2", V::kBarcode, 6},
    {"34 Barcode Option ID 3 (prefix with 8)", "BarcodeOptionID3", V::kBarcode, 7},
    {"35 Barcode Option ID 4 (prefix with 9)", "BarcodeOptionID4", V::kBarcode, 8},
    {"37 Operator Selected Text Field", "OperatorTextSelectField", V::kOperatorText},
    {"12 EXIF Time (JPG only) (hh~mm~ss)", "hh~mm~ss", V::kExifDate, 0, kHms},
    {"13 EXIF Date (JPG Only) Date picture taken  (yyyy-mm-dd)", "yyyy-mm-dd", V::kExifDate, 0, kYmd},
    {"36 Barcode Alpha Entry (starts with a-z/A-Z)", "BarcodeAlphaEntry", V::kBarcode, 9},
    {"38 EXIF User Comment (JPG Only)", "EXIFUserComment", V::kExifUserComment},
    {"39 BriskoEXIFBarCodePersonID", "BriskoEXIFBarCodePersonID", V::kFsBarcode, 0},
    {"40 BriskoEXIFBarCodeGroupID", "BriskoEXIFBarCodeGroupID", V::kFsBarcode, 1},
    {"41 BriskoEXIFBarCodeVenueID", "BriskoEXIFBarCodeVenueID", V::kFsBarcode, 2},
    {"42 BriskoEXIFBarCodeProductID", "BriskoEXIFBarCodeProductID", V::kFsBarcode, 3},
    {"43 BriskoEXIFBarCodeQuantityID", "BriskoEXIFBarCodeQuantityID", V::kFsBarcode, 4},
    {"44 BriskoEXIFBarCodeOptionID1", "BriskoEXIFBarCodeOptionID1", V::kFsBarcode, 5},
    {"45 BriskoEXIFBarCodeOptionID2", "BriskoEXIFBarCodeOptionID2", V::kFsBarcode, 6},
    {"46 BriskoEXIFBarCodeOptionID3", "BriskoEXIFBarCodeOptionID3", V::kFsBarcode, 7},
    {"47 BriskoEXIFBarCodeOptionID4", "BriskoEXIFBarCodeOptionID4", V::kFsBarcode, 8},
    {"48 BriskoEXIFBarCodeAlpha", "BriskoEXIFBarCodeAlpha", V::kFsBarcode, 9},
    {"49 BriskoEXIFIdTxtPhotoGrapherID", "BriskoEXIFIdTxtPhotoGrapherID", V::kFsText, 0},
    {"50 BriskoEXIFIdTxtEventID", "BriskoEXIFIdTxtEventID", V::kFsText, 1},
    {"51 BriskoEXIFIdTxtCardID", "BriskoEXIFIdTxtCardID", V::kFsText, 2},
    {"52 BriskoEXIFIdTxtUserID1", "BriskoEXIFIdTxtUserID1", V::kFsText, 3},
    {"53 BriskoEXIFIdTxtUserID2", "BriskoEXIFIdTxtUserID2", V::kFsText, 4},
    {"54 BriskoEXIFIdTxtUserID3", "BriskoEXIFIdTxtUserID3", V::kFsText, 5},
    {"55 BriskoEXIFIdTxtiBatchID", "BriskoEXIFIdTxtiBatchID", V::kFsBatchId},
    {"56 BriskoEXIFOrigFilename", "BriskoEXIFOrigFilename", V::kFsOrigFilename},
    {"57 BriskoEXIFOrigFileExt", "BriskoEXIFOrigFileExt", V::kFsOrigFileExt},
    {"58 BriskoEXIFOperatorSelectedText", "BriskoEXIFOperatorSelectedText", V::kFsText, 6},
    {"59 BriskoEXIFOrigUserComments", "BriskoEXIFOrigUserComments", V::kFsText, 7},
    {"60 BriskoEXIFCustomField", "", V::kCustomField},
};

const Component kSubfolderTable[] = {
    {"01 Text (specifed by you)", "", V::kText},
    {"02 Incremental Batch Counter (eg: 000123)", "BatchCounter", V::kBatchCounter},
    {"03 Current Date (DD-MM-YY)", "DD-MM-YY", V::kNow, 0, "%d-%m-%y"},
    {"05 Current Month (MM-YY)", "m-y", V::kNow, 0, "%m-%y"},
    {"06 Current hour HH", "hh", V::kNow, 0, "%H"},
    {"07 Current time HH~MM", "hh~mm", V::kNow, 0, "%H~%M"},
    {"08 time_t (seconds since January 1, 1970", "time_t", V::kTimeT},
    {"10 Dash character (-)", "-", V::kLiteral, 0, "-"},
    {"11 Underscore Character (_)", "_", V::kLiteral, 0, "_"},
    {"12 Dot Character (.)", ".", V::kLiteral, 0, "."},
    {"13 Photographer ID (if ID.TXT file available)", "PhotogID", V::kIdTxt, 0},
    {"14 Card ID (if ID.TXT file available)", "CardID", V::kIdTxt, 1},
    {"15 Event ID (if ID.TXT file available)", "EventID", V::kIdTxt, 2},
    {"16 User definable ID 1 (if ID.TXT file available)", "UserID1", V::kIdTxt, 3},
    {"17 User definable ID 2 (if ID.TXT file available)", "UserID2", V::kIdTxt, 4},
    {"18 User definable ID 3 (if ID.TXT file available)", "UserID3", V::kIdTxt, 5},
    {"19 Unique Batch ID (from ID.TXT file if available)", "BatchID", V::kBatchId},
    {"20 Substring from input filename", "SubString", V::kSubstring},
    {"21 Barcode Person ID (prefix with 1)", "BarcodePersonID", V::kBarcode, 0},
    {"22 Barcode Group ID (prefix with 2)", "BarcodeGroupID", V::kBarcode, 1},
    {"23 Barcode Venue ID (prefix with 3)", "BarcodeVenueID", V::kBarcode, 2},
    {"24 Barcode Product ID (prefix with 4)", "BarcodeProductID", V::kBarcode, 3},
    {"25 Barcode Quantity ID (prefix with 5)", "BarcodeQuantityID", V::kBarcode, 4},
    {"26 Barcode Option ID 1 (prefix with 6)", "BarcodeOptionID1", V::kBarcode, 5},
    {"27 Barcode Option ID 2 (prefix with 7)", "BarcodeOptionID2", V::kBarcode, 6},
    {"28 Barcode Option ID 3 (prefix with 8)", "BarcodeOptionID3", V::kBarcode, 7},
    {"29 Barcode Option ID 4 (prefix with 9)", "BarcodeOptionID4", V::kBarcode, 8},
    {"32 Directory separator - \\", "\\", V::kLiteral, 0, "\\"},
    {"04 Current Date Sortable (YYYY-MM-DD)", "YYYY-MM-DD", V::kNow, 0, kYmd},
    {"31 Operator Selected Text Field", "OperatorTextSelectField", V::kOperatorText},
    {"08 EXIF Time (JPG only)", "hh~mm~ss", V::kExifDate, 0, kHms},
    {"09 EXIF Date (JPG only) Date picture taken  YYYY-mm-dd", "YYYY-mm-dd", V::kExifDate, 0, kYmd},
    {"30 Barcode Alpha Entry (starts with a-z/A-Z)", "BarcodeAlphaEntry", V::kBarcode, 9},
    {"33 EXIF User Comment (JPG only)", "EXIFUserComment", V::kExifUserComment},
    {"34 BriskoEXIFBarCodePersonID", "BriskoEXIFBarCodePersonID", V::kFsBarcode, 0},
    {"35 BriskoEXIFBarCodeGroupID", "BriskoEXIFBarCodeGroupID", V::kFsBarcode, 1},
    {"36 BriskoEXIFBarCodeVenueID", "BriskoEXIFBarCodeVenueID", V::kFsBarcode, 2},
    {"37 BriskoEXIFBarCodeProductID", "BriskoEXIFBarCodeProductID", V::kFsBarcode, 3},
    {"38 BriskoEXIFBarCodeQuantityID", "BriskoEXIFBarCodeQuantityID", V::kFsBarcode, 4},
    {"39 BriskoEXIFBarCodeOptionID1", "BriskoEXIFBarCodeOptionID1", V::kFsBarcode, 5},
    {"40 BriskoEXIFBarCodeOptionID2", "BriskoEXIFBarCodeOptionID2", V::kFsBarcode, 6},
    {"41 BriskoEXIFBarCodeOptionID3", "BriskoEXIFBarCodeOptionID3", V::kFsBarcode, 7},
    {"42 BriskoEXIFBarCodeOptionID4", "BriskoEXIFBarCodeOptionID4", V::kFsBarcode, 8},
    {"43 BriskoEXIFBarCodeAlpha", "BriskoEXIFBarCodeAlpha", V::kFsBarcode, 9},
    {"44 BriskoEXIFIdTxtPhotoGrapherID", "BriskoEXIFIdTxtPhotoGrapherID", V::kFsText, 0},
    {"45 BriskoEXIFIdTxtEventID", "BriskoEXIFIdTxtEventID", V::kFsText, 1},
    {"46 BriskoEXIFIdTxtCardID", "BriskoEXIFIdTxtCardID", V::kFsText, 2},
    {"47 BriskoEXIFIdTxtUserID1", "BriskoEXIFIdTxtUserID1", V::kFsText, 3},
    {"48 BriskoEXIFIdTxtUserID2", "BriskoEXIFIdTxtUserID2", V::kFsText, 4},
    {"49 BriskoEXIFIdTxtUserID3", "BriskoEXIFIdTxtUserID3", V::kFsText, 5},
    {"50 BriskoEXIFIdTxtiBatchID", "BriskoEXIFIdTxtiBatchID", V::kFsBatchId},
    {"51 BriskoEXIFOperatorSelectedText", "BriskoEXIFOperatorSelectedText", V::kFsText, 6},
    {"52 BriskoEXIFOrigUserComments", "BriskoEXIFOrigUserComments", V::kFsText, 7},
    {"53 BriskoEXIFCustomField", "", V::kCustomField},
};

constexpr unsigned kRenameCount = sizeof(kRenameTable) / sizeof(kRenameTable[0]);
constexpr unsigned kSubfolderCount = sizeof(kSubfolderTable) / sizeof(kSubfolderTable[0]);
static_assert(kRenameCount == 60);
static_assert(kSubfolderCount == 54);

const Component* Lookup(TemplateKind kind, unsigned id) {
  if (kind == TemplateKind::kRename) return id < kRenameCount ? &kRenameTable[id] : nullptr;
  return id < kSubfolderCount ? &kSubfolderTable[id] : nullptr;
}

std::string FormatTime(std::time_t when, const char* format) {
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  char buf[64];
  size_t n = std::strftime(buf, sizeof(buf), format, &local);
  return std::string(buf, n);
}

std::string Counter(int value) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%06d", value);
  return buf;
}

const std::string& IdTxtText(const CIdTxt& id, int which) {
  switch (which) {
    case 0:
      return id.m_strPhotographerID;
    case 1:
      return id.m_strCardID;
    case 2:
      return id.m_strEventID;
    case 3:
      return id.m_strUserID1;
    case 4:
      return id.m_strUserID2;
    default:
      return id.m_strUserID3;
  }
}

const std::string& FieldText(const BriskoExifFields& f, int which) {
  switch (which) {
    case 0:
      return f.m_strPhotoGrapherID;
    case 1:
      return f.m_strEventID;
    case 2:
      return f.m_strCardID;
    case 3:
      return f.m_strUserID1;
    case 4:
      return f.m_strUserID2;
    case 5:
      return f.m_strUserID3;
    case 6:
      return f.m_strOperatorSelectedText;
    default:
      return f.m_BriskoExifOrigUserComments;
  }
}

// EXIF values are read at most once per generated name.
class LazyExif {
 public:
  // `kind`: the name whose extension says what the file is (a copy under a hidden name is the
  // photo it was listed as).
  LazyExif(const std::string& path, const std::string& kind, ExifAccess& exif)
      : m_path(path), m_kind(kind), m_exif(exif) {}
  const std::time_t* Date() {
    if (!m_dateRead) {
      m_dateRead = true;
      m_hasDate = HasExifDate(m_kind) && m_exif.ReadDateTime(m_path, m_date);
    }
    return m_hasDate ? &m_date : nullptr;
  }
  const std::string* Comment() {
    if (!m_commentRead) {
      m_commentRead = true;
      m_hasComment = HasJpgExtension(m_kind) && m_exif.ReadUserComment(m_path, m_comment);
    }
    return m_hasComment ? &m_comment : nullptr;
  }

 private:
  const std::string& m_path;
  const std::string& m_kind;
  ExifAccess& m_exif;
  bool m_dateRead = false, m_hasDate = false, m_commentRead = false, m_hasComment = false;
  std::time_t m_date = 0;
  std::string m_comment;
};

std::string Prefix(TemplateKind kind) {
  return kind == TemplateKind::kRename ? "m_" : "m_SubFolder";
}

int ClampCount(int count) {
  return std::clamp(count, 0, kMaxStoredTemplateEntries);
}

}  // namespace

NameTemplate::NameTemplate(TemplateKind kind) : m_kind(kind) {}

NameTemplate::NameTemplate(const NameTemplate& other)
    : m_ComponentArray(other.m_ComponentArray),
      m_StaticTextArray(other.m_StaticTextArray),
      m_BriskoExifKeysArray(other.m_BriskoExifKeysArray),
      m_kind(other.m_kind) {
  for (const auto& def : other.m_SubstringPtrList)
    m_SubstringPtrList.push_back(std::make_unique<SubstringDef>(*def));
}

NameTemplate& NameTemplate::operator=(const NameTemplate& other) {
  if (this != &other) *this = NameTemplate(other);
  return *this;
}

bool NameTemplate::operator==(const NameTemplate& other) const {
  if (m_kind != other.m_kind || m_ComponentArray != other.m_ComponentArray ||
      m_StaticTextArray != other.m_StaticTextArray || m_BriskoExifKeysArray != other.m_BriskoExifKeysArray ||
      m_SubstringPtrList.size() != other.m_SubstringPtrList.size()) {
    return false;
  }
  for (size_t i = 0; i < m_SubstringPtrList.size(); ++i) {
    if (!(*m_SubstringPtrList[i] == *other.m_SubstringPtrList[i])) return false;
  }
  return true;
}

int NameTemplate::ComponentCount(TemplateKind kind) {
  return kind == TemplateKind::kRename ? static_cast<int>(kRenameCount) : static_cast<int>(kSubfolderCount);
}

const char* NameTemplate::MenuText(TemplateKind kind, unsigned id) {
  const Component* c = Lookup(kind, id);
  return c ? c->menuText : "";
}

const char* NameTemplate::DisplayToken(TemplateKind kind, unsigned id) {
  const Component* c = Lookup(kind, id);
  return c ? c->token : "";
}

unsigned NameTemplate::TextComponentId(TemplateKind kind) {
  return kind == TemplateKind::kRename ? 3 : 0;
}
unsigned NameTemplate::SubstringComponentId(TemplateKind kind) {
  return kind == TemplateKind::kRename ? 23 : 17;
}
unsigned NameTemplate::CustomKeyComponentId(TemplateKind kind) {
  return kind == TemplateKind::kRename ? 59 : 53;
}

bool NameTemplate::AddComponent(unsigned id, const std::string& text) {
  const Component* c = Lookup(m_kind, id);
  if (c == nullptr) return false;
  if (c->value == V::kText || c->value == V::kCustomField) {
    if (text.empty()) return false;
    (c->value == V::kText ? m_StaticTextArray : m_BriskoExifKeysArray).push_back(text);
  }
  m_ComponentArray.push_back(id);
  return true;
}

void NameTemplate::AddSubstring(std::unique_ptr<SubstringDef> def) {
  if (!def) return;
  m_SubstringPtrList.push_back(std::move(def));
  m_ComponentArray.push_back(SubstringComponentId(m_kind));
}

void NameTemplate::Clear() {
  m_ComponentArray.clear();
  m_StaticTextArray.clear();
  m_SubstringPtrList.clear();
  m_BriskoExifKeysArray.clear();
}

bool NameTemplate::DependsOnFileOnly() const {
  for (unsigned id : m_ComponentArray) {
    const Component* c = Lookup(m_kind, id);
    if (c == nullptr) continue;
    switch (c->value) {
      case V::kOrigName:
      case V::kNumericOrig:
      case V::kOrigExt:
      case V::kText:
      case V::kLiteral:
      case V::kFileMod:
      case V::kFileCreate:
      case V::kSubstring:
      case V::kExifDate:
      case V::kExifUserComment:
        break;
      default:
        return false;
    }
  }
  return true;
}

std::string NameTemplate::GetDisplayString() const {
  std::string out;
  size_t text = 0, key = 0;
  for (unsigned id : m_ComponentArray) {
    const Component* c = Lookup(m_kind, id);
    if (c == nullptr) continue;
    if (c->value == V::kText) {
      if (text < m_StaticTextArray.size()) out += m_StaticTextArray[text];
      ++text;
    } else if (c->value == V::kCustomField) {
      if (key < m_BriskoExifKeysArray.size()) out += m_BriskoExifKeysArray[key];
      ++key;
    } else {
      out += c->token;
    }
  }
  return out;
}

std::string NameTemplate::Generate(const std::string& path, const CIdTxt* idTxt,
                                   const BriskoExifFields& fields, const NamingContext& context,
                                   const FileTimes* times, bool* idTxtValueUsed) const {
  const PathParts parts = SplitPath(context.listed ? context.listed->path : path);
  const char* forbidden =
      m_kind == TemplateKind::kRename ? kForbiddenFileNameChars : kForbiddenSubfolderChars;
  const std::time_t now = context.now ? *context.now : std::time(nullptr);
  LazyExif exif(path, context.listed ? context.listed->path : path,
                context.exif ? *context.exif : DefaultExifAccess());

  std::string result;
  size_t text = 0, substring = 0, key = 0;
  for (unsigned id : m_ComponentArray) {
    const Component* c = Lookup(m_kind, id);
    if (c == nullptr) continue;
    switch (c->value) {
      case V::kOrigName:
        result += parts.name;
        break;
      case V::kNumericOrig:
        for (char ch : parts.name) {
          if (ch >= '0' && ch <= '9') result += ch;
        }
        break;
      case V::kOrigExt:
        result += parts.extension;
        break;
      case V::kText:
        if (text < m_StaticTextArray.size()) result += m_StaticTextArray[text];
        ++text;
        break;
      case V::kFileCounter:
        result += Counter(context.fileCounter);
        break;
      case V::kBatchCounter:
        result += Counter(context.batchCounter);
        break;
      case V::kFileMod:
        if (times) result += FormatTime(times->modTime, c->format);
        break;
      case V::kFileCreate:
        if (times) result += FormatTime(times->createTime, c->format);
        break;
      case V::kNow:
        result += FormatTime(now, c->format);
        break;
      case V::kTimeT:
        result += std::to_string(static_cast<long long>(now));
        break;
      case V::kLiteral:
        result += c->format;
        break;
      case V::kIdTxt:
        if (idTxtValueUsed) *idTxtValueUsed = true;
        if (idTxt) result += IdTxtText(*idTxt, c->arg);
        break;
      case V::kBatchId:
        if (idTxt) {
          result += std::to_string(idTxt->m_iBatchID);
        } else if (context.newBatchId) {
          result += std::to_string(context.newBatchId());
        }
        break;
      case V::kSubstring:
        if (substring < m_SubstringPtrList.size())
          result += m_SubstringPtrList[substring]->Evaluate(parts.name);
        ++substring;
        break;
      case V::kBarcode:
        result += RemoveChars(context.barcodes[static_cast<size_t>(c->arg)], forbidden);
        break;
      case V::kOperatorText:
        result += RemoveChars(context.operatorText, forbidden);
        break;
      case V::kExifDate:
        if (const std::time_t* when = exif.Date()) result += FormatTime(*when, c->format);
        break;
      case V::kExifUserComment:
        if (const std::string* comment = exif.Comment()) result += *comment;
        break;
      case V::kFsBarcode:
        result += fields.m_strBarcodeInputsArray[static_cast<size_t>(c->arg)];
        break;
      case V::kFsText:
        result += FieldText(fields, c->arg);
        break;
      case V::kFsBatchId:
        if (fields.m_iBatchID > 0) result += std::to_string(fields.m_iBatchID);
        break;
      case V::kFsOrigFilename:
        result += SplitPath(fields.m_origFilename).name;
        break;
      case V::kFsOrigFileExt:
        result += SplitPath(fields.m_origFilename).extension;
        break;
      case V::kCustomField:
        if (key < m_BriskoExifKeysArray.size()) {
          if (const std::string* value = fields.m_CustomFields.Find(m_BriskoExifKeysArray[key]))
            result += *value;
        }
        ++key;
        break;
    }
  }
  return result;
}

std::string NameTemplate::GenerateNewName(const std::string& path, const CIdTxt* idTxt,
                                          const BriskoExifFields& fields, bool test,
                                          const NamingContext& context) const {
  if (m_kind != TemplateKind::kRename) return std::string();
  FileInfo info;
  if (!StatPath(path, info)) {
    // The editor's sample usually does not exist; the program's own file lends its times.
    if (!test || !StatPath("/proc/self/exe", info)) return std::string();
  }
  FileTimes times{static_cast<std::time_t>(info.modTime), static_cast<std::time_t>(info.createTime)};
  if (context.listed) times = FileTimes{context.listed->modTime, context.listed->createTime};

  const PathParts parts = SplitPath(context.listed ? context.listed->path : path);
  const std::string incoming = parts.name + parts.extension;
  bool idTxtValueUsed = false;
  std::string result = Generate(path, idTxt, fields, context, &times, &idTxtValueUsed);
  if (result.empty() || (idTxtValueUsed && idTxt == nullptr)) return incoming;
  result = MakeSafeFileName(result);
  return result.empty() ? incoming : result;
}

std::string NameTemplate::GenerateSubfolderName(const CIdTxt* idTxt, const BriskoExifFields& fields,
                                                const std::string& path, const NamingContext& context) const {
  if (m_kind != TemplateKind::kSubfolder) return std::string();
  return MakeSafeSubfolderPath(Generate(path, idTxt, fields, context, nullptr, nullptr));
}

void NameTemplate::Load(SettingsStore& store, const std::string& section) {
  Clear();
  const std::string p = Prefix(m_kind);
  int count = ClampCount(store.GetProfileInt(section, p + "ComponentArray_count", 0));
  for (int i = 0; i < count; ++i) {
    m_ComponentArray.push_back(
        static_cast<unsigned>(store.GetProfileInt(section, p + "ComponentArray_" + std::to_string(i), 0)));
  }
  count = ClampCount(store.GetProfileInt(section, p + "StaticTextArray_count", 0));
  for (int i = 0; i < count; ++i) {
    m_StaticTextArray.push_back(
        store.GetProfileString(section, p + "StaticTextArray_" + std::to_string(i), ""));
  }
  count = ClampCount(store.GetProfileInt(section, p + "SubstringPtrList_count", 0));
  const bool subfolder = m_kind == TemplateKind::kSubfolder;
  for (int i = 0; i < count; ++i) {
    auto def = std::make_unique<SubstringDef>();
    if (def->Load(store, section, i, subfolder)) m_SubstringPtrList.push_back(std::move(def));
  }
  count = ClampCount(store.GetProfileInt(section, p + "BriskoExifKeysArray_count", 0));
  for (int i = 0; i < count; ++i) {
    m_BriskoExifKeysArray.push_back(
        store.GetProfileString(section, p + "BriskoExifKeysArray_" + std::to_string(i), ""));
  }
}

bool NameTemplate::Save(SettingsStore& store, const std::string& section) const {
  const std::string p = Prefix(m_kind);
  bool ok =
      store.WriteProfileInt(section, p + "ComponentArray_count", static_cast<int>(m_ComponentArray.size()));
  for (size_t i = 0; i < m_ComponentArray.size(); ++i) {
    ok &= store.WriteProfileInt(section, p + "ComponentArray_" + std::to_string(i),
                                static_cast<int>(m_ComponentArray[i]));
  }
  ok &=
      store.WriteProfileInt(section, p + "StaticTextArray_count", static_cast<int>(m_StaticTextArray.size()));
  for (size_t i = 0; i < m_StaticTextArray.size(); ++i) {
    ok &= store.WriteProfileString(section, p + "StaticTextArray_" + std::to_string(i), m_StaticTextArray[i]);
  }
  ok &= store.WriteProfileInt(section, p + "SubstringPtrList_count",
                              static_cast<int>(m_SubstringPtrList.size()));
  const bool subfolder = m_kind == TemplateKind::kSubfolder;
  for (size_t i = 0; i < m_SubstringPtrList.size(); ++i) {
    ok &= m_SubstringPtrList[i]->Save(store, section, static_cast<int>(i), subfolder);
  }
  ok &= store.WriteProfileInt(section, p + "BriskoExifKeysArray_count",
                              static_cast<int>(m_BriskoExifKeysArray.size()));
  for (size_t i = 0; i < m_BriskoExifKeysArray.size(); ++i) {
    ok &= store.WriteProfileString(section, p + "BriskoExifKeysArray_" + std::to_string(i),
                                   m_BriskoExifKeysArray[i]);
  }
  return ok;
}

bool SaveActionTemplates(SettingsStore& store, const std::string& section, bool renameFile,
                         const NameTemplate& renameTemplate, const NameTemplate& subfolderTemplate) {
  bool ok = true;
  if (renameFile) ok &= renameTemplate.Save(store, section);
  ok &= subfolderTemplate.Save(store, section);
  return ok;
}

void LoadActionTemplates(SettingsStore& store, const std::string& section, bool renameFile,
                         NameTemplate& renameTemplate, NameTemplate& subfolderTemplate) {
  if (renameFile) {
    renameTemplate.Load(store, section);
  } else {
    renameTemplate.Clear();
  }
  subfolderTemplate.Load(store, section);
}

}  // namespace brisko
