#include "naming/substring_def.h"

#include <algorithm>
#include <cstdint>

#include "support/settings_store.h"

namespace brisko {

namespace {

std::string Reversed(std::string s) {
  std::reverse(s.begin(), s.end());
  return s;
}

// Positions are kept in 64 bits: stored character positions and lengths are arbitrary
// 32-bit values, and start + length must not overflow.
int64_t FirstOccurrence(const std::string& text, const std::string& match, size_t from) {
  if (from > text.size()) return -1;
  size_t pos = text.find(match, from);
  return pos == std::string::npos ? -1 : static_cast<int64_t>(pos);
}

int64_t LastOccurrence(const std::string& text, const std::string& match) {
  if (match.empty()) return static_cast<int64_t>(text.size());
  size_t pos = text.rfind(match);
  return pos == std::string::npos ? -1 : static_cast<int64_t>(pos);
}

std::string Key(const char* field, int index, bool subfolder) {
  return std::string(subfolder ? "CreateFolder_" : "") + field + "_" + std::to_string(index);
}

}  // namespace

std::string SubstringDef::Evaluate(const std::string& input) const {
  std::string text = input;
  std::string fromFirst = m_strFromFirstMatch;
  std::string fromLast = m_strFromLastMatch;
  std::string toFirst = m_strToFirstMatch;
  std::string toLast = m_strToLastMatch;
  if (!m_bFromLeft) {
    text = Reversed(text);
    fromFirst = Reversed(fromFirst);
    fromLast = Reversed(fromLast);
    toFirst = Reversed(toFirst);
    toLast = Reversed(toLast);
  }
  const int64_t length = static_cast<int64_t>(text.size());

  int64_t start = 0;
  switch (m_iFromType) {
    case kFromChar:
      start = m_iFromChar;
      break;
    case kFromFirstMatch: {
      int64_t pos = FirstOccurrence(text, fromFirst, 0);
      start = pos < 0 ? 0 : pos + static_cast<int64_t>(fromFirst.size());
      break;
    }
    case kFromLastMatch: {
      int64_t pos = LastOccurrence(text, fromLast);
      start = pos < 0 ? 0 : pos + static_cast<int64_t>(fromLast.size());
      break;
    }
    default:
      start = 0;
      break;
  }

  int64_t end = length - 1;
  switch (m_iToType) {
    case kToChar:
      end = m_iToChar;
      break;
    case kToLength:
      end = start + static_cast<int64_t>(m_iLength) - 1;
      break;
    case kToFirstMatch: {
      int64_t pos = start < 0 ? -1 : FirstOccurrence(text, toFirst, static_cast<size_t>(start));
      end = pos < 0 ? length - 1 : pos - 1;
      break;
    }
    case kToLastMatch: {
      int64_t pos = LastOccurrence(text, toLast);
      end = pos < 0 ? length - 1 : pos - 1;
      break;
    }
    default:
      end = length - 1;
      break;
  }

  std::string piece;
  if (end < start) {
    piece = text;
  } else if (start >= 0 && start < length) {
    // A negative start (a stored negative position) gives an empty piece rather than a
    // read before the text.
    int64_t count = std::min(end - start + 1, length - start);
    piece = text.substr(static_cast<size_t>(start), static_cast<size_t>(count));
  }
  if (!m_bFromLeft) piece = Reversed(piece);
  return piece;
}

bool SubstringDef::Load(SettingsStore& store, const std::string& section, int index, bool subfolder) {
  m_iFromType = store.GetProfileInt(section, Key("m_iFromType", index, subfolder), 0);
  m_iToType = store.GetProfileInt(section, Key("m_iToType", index, subfolder), 0);
  m_bFromLeft = store.GetProfileInt(section, Key("m_bFromLeft", index, subfolder), 0) != 0;
  m_iFromChar = store.GetProfileInt(section, Key("m_iFromChar", index, subfolder), 0);
  m_iToChar = store.GetProfileInt(section, Key("m_iToChar", index, subfolder), 0);
  m_iLength = store.GetProfileInt(section, Key("m_iLength", index, subfolder), 0);
  m_strFromFirstMatch = store.GetProfileString(section, Key("m_strFromFirstMatch", index, subfolder), "");
  m_strFromLastMatch = store.GetProfileString(section, Key("m_strFromLastMatch", index, subfolder), "");
  m_strToFirstMatch = store.GetProfileString(section, Key("m_strToFirstMatch", index, subfolder), "");
  m_strToLastMatch = store.GetProfileString(section, Key("m_strToLastMatch", index, subfolder), "");
  return true;
}

bool SubstringDef::Save(SettingsStore& store, const std::string& section, int index, bool subfolder) const {
  bool ok = true;
  ok &= store.WriteProfileInt(section, Key("m_iFromType", index, subfolder), m_iFromType);
  ok &= store.WriteProfileInt(section, Key("m_iToType", index, subfolder), m_iToType);
  ok &= store.WriteProfileInt(section, Key("m_bFromLeft", index, subfolder), m_bFromLeft ? 1 : 0);
  ok &= store.WriteProfileInt(section, Key("m_iFromChar", index, subfolder), m_iFromChar);
  ok &= store.WriteProfileInt(section, Key("m_iToChar", index, subfolder), m_iToChar);
  ok &= store.WriteProfileInt(section, Key("m_iLength", index, subfolder), m_iLength);
  ok &= store.WriteProfileString(section, Key("m_strFromFirstMatch", index, subfolder), m_strFromFirstMatch);
  ok &= store.WriteProfileString(section, Key("m_strFromLastMatch", index, subfolder), m_strFromLastMatch);
  ok &= store.WriteProfileString(section, Key("m_strToFirstMatch", index, subfolder), m_strToFirstMatch);
  ok &= store.WriteProfileString(section, Key("m_strToLastMatch", index, subfolder), m_strToLastMatch);
  return ok;
}

}  // namespace brisko
