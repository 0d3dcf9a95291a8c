#include "support/xml_reader.h"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace brisko {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes that end a name; control bytes never belong to one.
bool IsNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20) return false;
  return c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '?';
}

}  // namespace

XmlReader::~XmlReader() {
  Close();
}

bool XmlReader::SetFileName(const std::string& path) {
  if (m_opened) return false;
  m_fileName = path;
  return true;
}

void XmlReader::Close() {
  if (m_file) std::fclose(m_file);
  m_file = nullptr;
  m_done = true;
}

bool XmlReader::Fail(const char* message) {
  char head[64];
  std::snprintf(head, sizeof head, "Parse error in line %d : (", m_lineNumber);
  m_errorText = std::string(head) + message + ")";
  m_done = true;
  m_event = XmlEvent::kNone;
  if (m_showErrors) {
    if (m_onMessage) {
      m_onMessage(m_errorText);
    } else {
      std::cerr << m_errorText << '\n';
    }
  }
  return false;
}

bool XmlReader::NextLine() {
  if (m_done || !m_file) return false;
  m_line.clear();
  m_pos = 0;
  int c;
  while ((c = getc_unlocked(m_file)) != EOF) {
    m_line += static_cast<char>(c);
    if (c == '\n') break;
    if (m_line.size() > m_maxText) {
      ++m_lineNumber;
      m_lineTooLong = true;
      return false;
    }
  }
  if (m_line.empty()) {
    if (std::ferror(m_file)) m_errno = errno ? errno : EIO;
    return false;
  }
  ++m_lineNumber;
  return true;
}

// Called when NextLine() gave nothing more: a clean end only between tags, with every
// element closed, after at least one element.
bool XmlReader::AtEndOfFile() {
  if (m_lineTooLong) return Fail("Line too long");
  m_done = true;
  m_event = XmlEvent::kNone;
  if (m_errno != 0) return false;  // a read error: no parse error text, GetErrno() tells
  if (m_state != State::kOutside || m_depth > 0 || !m_sawElement) return Fail("Unexpected end of file");
  m_cleanEnd = true;
  m_event = XmlEvent::kNone;
  return false;
}

bool XmlReader::SkipBlanks() {
  for (;;) {
    while (m_pos < m_line.size() && IsBlank(m_line[m_pos])) ++m_pos;
    if (m_pos < m_line.size()) return true;
    if (!NextLine()) return false;
  }
}

std::string XmlReader::ReadName() {
  const size_t start = m_pos;
  while (m_pos < m_line.size() && IsNameChar(m_line[m_pos])) ++m_pos;
  return m_line.substr(start, m_pos - start);
}

bool XmlReader::ReadNext() {
  if (m_done) return false;
  if (!m_opened) {
    m_opened = true;
    m_file = std::fopen(m_fileName.c_str(), "rbe");
    if (!m_file) {
      m_errno = errno;
      m_done = true;
      return false;
    }
  }
  for (;;) {
    Step step = Step::kContinue;
    switch (m_state) {
      case State::kOutside: {
        if (m_pos >= m_line.size()) {
          if (!NextLine()) return AtEndOfFile();
          continue;
        }
        const size_t lt = m_line.find('<', m_pos);
        if (lt == std::string::npos) {
          m_pos = m_line.size();
          continue;
        }
        m_pos = lt + 1;
        step = TagOpening();
        break;
      }
      case State::kInTag:
        step = InsideTag();
        break;
      case State::kInDeclaration:
        step = SkipDeclaration();
        break;
      case State::kInComment:
        step = SkipUntil("-->");
        break;
      case State::kInCData:
        step = SkipUntil("]]>");
        break;
    }
    if (step == Step::kEvent) return true;
    if (step == Step::kFail) return false;
  }
}

// Just after a "<" found between tags.
XmlReader::Step XmlReader::TagOpening() {
  if (m_line.find_first_not_of("\r\n", m_pos) == std::string::npos) {
    Fail("'<' symbol not allowed at the end of a line");
    return Step::kFail;
  }
  const char c = m_line[m_pos];
  if (c == '<') {
    Fail("Bad '<' symbol");
    return Step::kFail;
  }
  if (c == '!' && m_line.compare(m_pos, 3, "!--") == 0) {
    m_pos += 3;
    m_state = State::kInComment;
    return Step::kContinue;
  }
  if (c == '!' && m_line.compare(m_pos, 8, "![CDATA[") == 0) {
    m_pos += 8;
    m_state = State::kInCData;
    return Step::kContinue;
  }
  if (c == '?' || c == '!') {
    ++m_pos;
    m_elementName = ReadName();
    if (m_elementName.empty()) {
      Fail("Empty element name");
      return Step::kFail;
    }
    m_event = XmlEvent::kDeclaration;
    m_state = State::kInDeclaration;
    m_declQuote = 0;
    m_declBrackets = 0;
    return Step::kEvent;
  }
  if (c == '/') {
    ++m_pos;
    m_elementName = ReadName();
    if (m_elementName.empty()) {
      Fail(m_pos < m_line.size() && m_line[m_pos] == '<' ? "Bad '<' symbol" : "Empty element name");
      return Step::kFail;
    }
    if (!SkipBlanks()) {
      m_state = State::kInTag;  // the end of the file inside a tag
      AtEndOfFile();
      return Step::kFail;
    }
    const char next = m_line[m_pos];
    if (next != '>') {
      Fail(next == '<' ? "Bad '<' symbol" : "Syntax error");
      return Step::kFail;
    }
    ++m_pos;
    --m_depth;
    m_event = XmlEvent::kElementEnd;
    return Step::kEvent;
  }
  m_elementName = ReadName();
  if (m_elementName.empty()) {
    Fail("Empty element name");
    return Step::kFail;
  }
  ++m_depth;
  m_sawElement = true;
  m_state = State::kInTag;
  m_event = XmlEvent::kElementStart;
  return Step::kEvent;
}

// Between the attributes of a start tag.
XmlReader::Step XmlReader::InsideTag() {
  if (!SkipBlanks()) {
    AtEndOfFile();
    return Step::kFail;
  }
  const char c = m_line[m_pos];
  switch (c) {
    case '>':
      ++m_pos;
      m_state = State::kOutside;
      return Step::kContinue;
    case '/':
      if (m_line.compare(m_pos, 2, "/>") != 0) {
        Fail("Syntax error");
        return Step::kFail;
      }
      m_pos += 2;
      --m_depth;
      m_state = State::kOutside;
      m_event = XmlEvent::kElementEnd;
      return Step::kEvent;
    case '<':
      Fail("Bad '<' symbol");
      return Step::kFail;
    case '=':
      Fail("Missing attribute name before '='");
      return Step::kFail;
    default:
      break;
  }
  if (!IsNameChar(c)) {
    Fail("Syntax error");
    return Step::kFail;
  }
  m_attributeName = ReadName();
  if (!SkipBlanks()) {
    AtEndOfFile();
    return Step::kFail;
  }
  if (m_line[m_pos] != '=') {
    Fail(m_line[m_pos] == '<' ? "Bad '<' symbol" : "Syntax error");
    return Step::kFail;
  }
  ++m_pos;
  if (!SkipBlanks()) {
    AtEndOfFile();
    return Step::kFail;
  }
  const char quote = m_line[m_pos];
  if (quote != '"' && quote != '\'') {
    Fail(quote == '<' ? "Bad '<' symbol" : "Syntax error");
    return Step::kFail;
  }
  ++m_pos;
  m_attributeValue.clear();
  for (;;) {
    const size_t end = m_line.find(quote, m_pos);
    if (end != std::string::npos) {
      m_attributeValue.append(m_line, m_pos, end - m_pos);
      m_pos = end + 1;
      break;
    }
    m_attributeValue.append(m_line, m_pos, std::string::npos);
    if (m_attributeValue.size() > m_maxText) {
      Fail("Value too long");
      return Step::kFail;
    }
    if (!NextLine()) {
      AtEndOfFile();
      return Step::kFail;
    }
  }
  if (m_attributeValue.size() > m_maxText) {
    Fail("Value too long");
    return Step::kFail;
  }
  m_event = XmlEvent::kAttribute;
  return Step::kEvent;
}

// The rest of "<?name ...?>" or "<!name ...>", up to the ">" outside quotes and brackets.
XmlReader::Step XmlReader::SkipDeclaration() {
  for (;;) {
    while (m_pos < m_line.size()) {
      const char c = m_line[m_pos++];
      if (m_declQuote) {
        if (c == m_declQuote) m_declQuote = 0;
      } else if (c == '"' || c == '\'') {
        m_declQuote = c;
      } else if (c == '[') {
        ++m_declBrackets;
      } else if (c == ']') {
        if (m_declBrackets > 0) --m_declBrackets;
      } else if (c == '>' && m_declBrackets == 0) {
        m_state = State::kOutside;
        return Step::kContinue;
      }
    }
    if (!NextLine()) {
      AtEndOfFile();
      return Step::kFail;
    }
  }
}

XmlReader::Step XmlReader::SkipUntil(const char* marker) {
  for (;;) {
    const size_t end = m_line.find(marker, m_pos);
    if (end != std::string::npos) {
      m_pos = end + std::strlen(marker);
      m_state = State::kOutside;
      return Step::kContinue;
    }
    if (!NextLine()) {
      AtEndOfFile();
      return Step::kFail;
    }
  }
}

}  // namespace brisko
