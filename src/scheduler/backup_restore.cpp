#include "scheduler/backup_restore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/settings_store.h"
#include "support/text.h"
#include "support/xml_escape.h"
#include "support/xml_reader.h"
#include "support/xml_writer.h"

namespace brisko {
namespace {

constexpr const char* kHiveNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                      "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
constexpr const char* kDefaultValueName = "(Default)";
// Deeper than any store holds; keeps the backup's recursion bounded on a damaged store.
constexpr int kMaxBackupDepth = 512;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte from the two hex digits at `pos`; the caller has checked that both exist.
std::optional<unsigned char> HexByte(const std::string& text, size_t pos) {
  const int hi = HexDigit(text[pos]);
  const int lo = HexDigit(text[pos + 1]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<unsigned char>(hi * 16 + lo);
}

void AppendHex(std::string& out, unsigned char byte) {
  static const char kDigits[] = "0123456789abcdef";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 15];
}

unsigned char ByteAt(const std::string& data, size_t i) {
  return i < data.size() ? static_cast<unsigned char>(data[i]) : 0;
}

std::string UpToZero(const std::string& data) {
  return data.substr(0, data.find('\0'));
}

std::string HexBytes(const std::string& data) {
  std::string out;
  out.reserve(data.size() * 3);
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) out += ' ';
    AppendHex(out, static_cast<unsigned char>(data[i]));
  }
  return out;
}

// "0x" and the bytes most significant first, from a big-endian byte sequence.
std::string HexNumber(const unsigned char* bytes, size_t count) {
  std::string out = "0x";
  for (size_t i = 0; i < count; ++i) AppendHex(out, bytes[i]);
  return out;
}

// The `count` bytes of a number written as "0x" and hex pairs, most significant first,
// returned least significant first as the store keeps them.
std::optional<std::string> ParseHexNumber(const std::string& text, size_t count) {
  if (text.empty()) return std::string(count, '\0');
  if (text.size() < 2 + 2 * count) return std::nullopt;
  std::string out(count, '\0');
  for (size_t i = 0; i < count; ++i) {
    auto byte = HexByte(text, 2 + 2 * i);
    if (!byte) return std::nullopt;
    out[count - 1 - i] = static_cast<char>(*byte);
  }
  return out;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

XmlTag KeyTag(const std::string& name) {
  XmlTag tag("k");
  tag.SetAttribute("name", EscapeText(name));
  return tag;
}

class BackupWriter {
 public:
  BackupWriter(SettingsStore& store, XmlWriter& writer, const BackupPump& pump)
      : m_store(store), m_writer(writer), m_pump(pump) {}

  // Values first, then each subkey as its own element.
  bool WriteContents(const std::string& path, const std::vector<RegValue>& values,
                     const std::vector<std::string>& subKeys, int depth) {
    if (m_pump && !m_pump()) {
      m_reason = "cancelled";
      return false;
    }
    if (depth > kMaxBackupDepth) {
      m_reason = "the settings are nested too deeply";
      return false;
    }
    for (const RegValue& v : values) {
      if (v.name.empty() && v.data.empty()) continue;
      const BackupValueText text = FormatBackupValue(v.type, v.data);
      XmlTag tag("v");
      tag.SetAttribute("name", v.name.empty() ? std::string(kDefaultValueName) : EscapeText(v.name));
      tag.SetAttribute("value", EscapeText(text.value));
      if (!text.type.empty()) tag.SetAttribute("type", text.type);
      if (!m_writer.WriteEmptyTag(tag)) return false;
    }
    for (const std::string& name : subKeys) {
      const std::string childPath = path + "\\" + name;
      const std::vector<RegValue> childValues = m_store.EnumValues(childPath);
      const std::vector<std::string> childKeys = m_store.EnumSubKeys(childPath);
      if (childValues.empty() && childKeys.empty()) {
        if (!m_writer.WriteEmptyTag(KeyTag(name))) return false;
        continue;
      }
      if (!m_writer.WriteStartTag(KeyTag(name))) return false;
      if (!WriteContents(childPath, childValues, childKeys, depth + 1)) return false;
      if (!m_writer.WriteEndTag("k")) return false;
    }
    return true;
  }

  const std::string& Reason() const { return m_reason; }

 private:
  SettingsStore& m_store;
  XmlWriter& m_writer;
  const BackupPump& m_pump;
  std::string m_reason;
};

// One pass over a backup file. The checking pass (no store) validates everything that would
// stop the restore half-way; the writing pass then stores keys and values.
class RestorePass {
 public:
  RestorePass(SettingsStore* store, const SettingsMessageSink& sink) : m_store(store), m_sink(sink) {}

  bool Run(const std::string& fileName) {
    XmlReader reader;
    reader.SetFileName(fileName);
    reader.SetShowErrors(true);
    reader.SetMessageCallback(m_sink);
    while (reader.ReadNext()) {
      if (!Handle(reader)) return false;
    }
    if (reader.GetErrno() != 0 && !reader.HasError()) {
      m_sink("Cannot read " + fileName + ": " + std::strerror(reader.GetErrno()));
      return false;
    }
    if (!reader.IsCleanEnd()) return false;
    if (!m_sawKey) {
      m_sink(fileName + " holds no settings");
      return false;
    }
    return true;
  }

 private:
  bool Handle(const XmlReader& reader) {
    const std::string& element = reader.GetElementName();
    switch (reader.GetEventKind()) {
      case XmlEvent::kElementStart:
        if (EqualsNoCase(element, "k")) {
          if (m_frames.size() >= kMaxRestoreKeyDepth) return KeyFailed("");
          m_frames.push_back(false);
        } else if (EqualsNoCase(element, "v")) {
          m_inValue = true;
          m_valueName.clear();
          m_valueText.clear();
          m_typeText.clear();
        }
        return true;
      case XmlEvent::kAttribute: {
        const std::string& attribute = reader.GetAttributeName();
        if (EqualsNoCase(element, "k")) {
          // A second name attribute is ignored: the element already stands for one key.
          if (EqualsNoCase(attribute, "name") && !m_frames.empty() && !m_frames.back()) {
            std::string name;
            return Decode(reader, name) && OpenKey(name);
          }
        } else if (EqualsNoCase(element, "v") && m_inValue) {
          if (EqualsNoCase(attribute, "name")) return Decode(reader, m_valueName);
          if (EqualsNoCase(attribute, "value")) return Decode(reader, m_valueText);
          if (EqualsNoCase(attribute, "type")) return Decode(reader, m_typeText);
        }
        return true;
      }
      case XmlEvent::kElementEnd:
        if (EqualsNoCase(element, "v")) {
          const bool stored = !m_inValue || StoreValue();
          m_inValue = false;
          if (!stored) return false;
        } else if (EqualsNoCase(element, "k") && !m_frames.empty()) {
          // Only an element that named a key closes one: a nameless `k` must not pop its parent.
          if (m_frames.back()) m_names.pop_back();
          m_frames.pop_back();
        }
        return true;
      default:
        return true;
    }
  }

  std::string KeyPath() const {
    std::string path;
    for (const std::string& name : m_names) {
      if (!path.empty()) path += '\\';
      path += name;
    }
    return path;
  }

  // An attribute's text with its references decoded; one that names no character stops the
  // restore rather than put something the operator never wrote into the store.
  bool Decode(const XmlReader& reader, std::string& out) {
    std::string bad;
    if (UnescapeText(reader.GetAttributeValue(), out, &bad)) return true;
    m_sink("The backup holds the reference " + bad +
           ", which names no character; the backup is not restored");
    return false;
  }

  bool KeyFailed(const std::string& name) {
    std::string hive = m_names.empty() ? name : m_names.front();
    std::string rest;
    for (size_t i = 1; i < m_names.size(); ++i) {
      if (!rest.empty()) rest += '\\';
      rest += m_names[i];
    }
    if (!m_names.empty()) {
      if (!rest.empty()) rest += '\\';
      rest += name;
    }
    m_sink("couldn't create key " + hive + "\\" + rest);
    return false;
  }

  bool ValidKeyName(const std::string& name) const {
    if (m_names.empty()) {
      for (const char* hive : kHiveNames)
        if (EqualsNoCase(name, hive)) return true;
      return false;
    }
    // The registry's own limits; a "\" would silently make more than one level.
    return !name.empty() && name.size() <= kMaxKeyNameLength && name.find('\\') == std::string::npos &&
           name.find('\0') == std::string::npos;
  }

  bool OpenKey(const std::string& name) {
    if (!ValidKeyName(name)) return KeyFailed(name);
    m_names.push_back(name);
    m_frames.back() = true;
    m_sawKey = true;
    if (m_store && !m_store->CreateKey(KeyPath())) {
      m_names.pop_back();
      return KeyFailed(name);
    }
    return true;
  }

  // False stops the restore: a list count beyond its limit would make the station's next
  // start walk billions of entries, so such a file is refused as a whole.
  bool StoreValue() {
    const std::string name = EqualsNoCase(m_valueName, kDefaultValueName) ? std::string() : m_valueName;
    const uint32_t type = ParseBackupType(m_typeText);
    const std::optional<std::string> data = ParseBackupValue(type, m_valueText);
    if (const int limit = StoredCountLimit(name); limit > 0 && data && data->size() <= 4) {
      // Read as the store reads an integer.
      uint32_t bits = 0;
      for (size_t i = 0; i < data->size(); ++i)
        bits |= uint32_t{static_cast<unsigned char>((*data)[i])} << (8 * i);
      const int count = static_cast<int>(bits);
      if (count < 0 || count > limit) {
        m_sink(name + " " + std::to_string(count) + " in " + KeyPath() + " is outside 0 to " +
               std::to_string(limit) + "; the backup is not restored");
        return false;
      }
    }
    if (!m_store) return true;
    const bool ok = data && !m_names.empty() && name.size() <= kMaxValueNameLength &&
                    m_store->SetValue(KeyPath(), name, type, *data);
    if (!ok) m_sink("couldn't set value " + m_valueName);
    return true;
  }

  SettingsStore* m_store;
  const SettingsMessageSink& m_sink;
  std::vector<std::string> m_names;  // the open keys, hive first
  std::vector<bool> m_frames;        // one per open `k` element: did it name a key
  bool m_sawKey = false;
  bool m_inValue = false;
  std::string m_valueName;
  std::string m_valueText;
  std::string m_typeText;
};

}  // namespace

BackupValueText FormatBackupValue(uint32_t type, const std::string& data) {
  switch (type) {
    case kRegExpandSz:
      return {UpToZero(data), "REG_EXPAND_SZ"};
    case kRegDword:
    case kRegDwordBigEndian: {
      unsigned char be[4];
      for (size_t i = 0; i < 4; ++i) be[i] = type == kRegDword ? ByteAt(data, 3 - i) : ByteAt(data, i);
      const uint32_t number =
          (uint32_t{be[0]} << 24) | (uint32_t{be[1]} << 16) | (uint32_t{be[2]} << 8) | be[3];
      return {HexNumber(be, 4) + " (" + std::to_string(static_cast<int32_t>(number)) + ")", "REG_DWORD"};
    }
    case kRegQword: {
      unsigned char be[8];
      for (size_t i = 0; i < 8; ++i) be[i] = ByteAt(data, 7 - i);
      return {HexNumber(be, 8), "REG_QWORD"};
    }
    case kRegMultiSz: {
      std::string out;
      size_t start = 0;
      bool first = true;
      while (start < data.size()) {
        size_t end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        if (end == start) break;  // the empty text that ends the list
        if (!first) out += "\r\n";
        out.append(data, start, end - start);
        first = false;
        start = end + 1;
      }
      return {out, "REG_MULTI_SZ"};
    }
    case kRegResourceList:
      return {HexBytes(data), "REG_RESOURCE_LIST"};
    case kRegResourceRequirementsList:
      return {HexBytes(data), "REG_RESOURCE_REQUIREMENTS_LIST"};
    case kRegSz:
    case kRegNone:
      return {UpToZero(data), ""};
    case kRegBinary:
    default:
      // Types the file has no name for keep their bytes at least.
      return {HexBytes(data), "REG_BINARY"};
  }
}

uint32_t ParseBackupType(const std::string& typeName) {
  static const struct {
    const char* name;
    uint32_t type;
  } kTypes[] = {{"REG_BINARY", kRegBinary},
                {"REG_DWORD", kRegDword},
                {"REG_SZ", kRegSz},
                {"REG_EXPAND_SZ", kRegExpandSz},
                {"REG_MULTI_SZ", kRegMultiSz},
                {"REG_QWORD", kRegQword},
                {"REG_RESOURCE_LIST", kRegResourceList},
                {"REG_RESOURCE_REQUIREMENTS_LIST", kRegResourceRequirementsList}};
  for (const auto& entry : kTypes)
    if (EqualsNoCase(typeName, entry.name)) return entry.type;
  return kRegSz;
}

std::optional<std::string> ParseBackupValue(uint32_t type, const std::string& text) {
  switch (type) {
    case kRegBinary:
    case kRegResourceList:
    case kRegResourceRequirementsList: {
      if (text.empty()) return std::string(1, '\0');
      // Pairs at 3i and 3i + 1: the count keeps the last pair inside the text.
      const size_t count = (text.size() + 1) / 3;
      if (count == 0) return std::nullopt;
      std::string out(count, '\0');
      for (size_t i = 0; i < count; ++i) {
        auto byte = HexByte(text, 3 * i);
        if (!byte) return std::nullopt;
        out[i] = static_cast<char>(*byte);
      }
      return out;
    }
    case kRegDword:
      return ParseHexNumber(text, 4);
    case kRegQword:
      return ParseHexNumber(text, 8);
    case kRegMultiSz: {
      std::string out;
      out.reserve(text.size() + 2);
      for (char c : text) {
        if (c == '\r') continue;
        out += c == '\n' ? '\0' : c;
      }
      out.append(2, '\0');
      return out;
    }
    default:
      return text + '\0';
  }
}

bool BackupSettings(SettingsStore& store, const std::string& fileName, const std::string& rootPath,
                    const BackupPump& pump, std::string* reason) {
  auto fail = [&](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  const std::vector<std::string> parts = SplitPath(rootPath);
  if (parts.empty() || !store.IsOpen() || !store.KeyExists(rootPath)) {
    return fail("the settings key " + rootPath + " does not exist");
  }
  XmlWriter writer;
  writer.SetFileName(fileName);
  for (const std::string& part : parts) writer.WriteStartTag(KeyTag(part));
  BackupWriter backup(store, writer, pump);
  const bool written =
      backup.WriteContents(rootPath, store.EnumValues(rootPath), store.EnumSubKeys(rootPath), 0);
  if (!written && !backup.Reason().empty()) {
    writer.Discard();
    return fail(backup.Reason());
  }
  for (size_t i = 0; i < parts.size(); ++i) writer.WriteEndTag("k");
  if (!writer.Close()) {
    return fail("cannot write " + fileName + ": " +
                std::strerror(writer.GetErrno() ? writer.GetErrno() : EIO));
  }
  return true;
}

bool RestoreSettings(SettingsStore& store, const std::string& fileName,
                     const SettingsMessageSink& onMessage) {
  const SettingsMessageSink sink =
      onMessage ? onMessage : [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
  struct stat st {};
  if (stat(fileName.c_str(), &st) != 0) {
    sink("Cannot read " + fileName + ": " + std::strerror(errno));
    return false;
  }
  // The file is read twice, so it must be a file (not a pipe that would hang or differ).
  if (!S_ISREG(st.st_mode)) {
    sink(fileName + " is not a regular file");
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxRestoreFileSize) {
    sink(fileName + " is too large for a settings backup");
    return false;
  }
  if (!store.IsOpen()) {
    sink("The settings store is not open");
    return false;
  }
  // Check the whole file first: a truncated or broken backup must not leave the store half
  // replaced (a new action count with the old actions behind it).
  if (!RestorePass(nullptr, sink).Run(fileName)) return false;
  return RestorePass(&store, sink).Run(fileName);
}

}  // namespace brisko
