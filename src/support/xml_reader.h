#pragma once
// Line-oriented pull reader for the settings backup: each ReadNext() delivers one event in
// document order. Names and values come back exactly as they stand in the file (callers
// unescape them with UnescapeText).
//
// Accepted: everything XmlWriter produces. An attribute value runs from its opening quote
// (double or single) to the next quote of the same kind and may span lines; the line ends
// inside it are kept as they stand in the file (CR LF in every file the writer makes), so
// any value reads back unchanged. Text between tags is skipped, as are comments ("<!--" to
// "-->") and character data ("<![CDATA[" to "]]>"), also across lines. "<?name ...?>" and
// "<!name ...>" give a declaration event; their contents are skipped.
//
// Errors set "Parse error in line %d : (%s)" and stop the reader. Besides the five messages
// of the tag syntax, a file that ends inside a tag, value, comment or declaration, with
// elements still open, or before any element is "Unexpected end of file", so that a truncated
// backup never reads as a complete one.
//
// Limits (memory stays bounded whatever the input): a line may hold at most 16 MiB ("Line too
// long"), an attribute value or name at most 16 MiB over all its lines ("Value too long").
// Nesting depth needs no limit: the reader keeps only a counter, never a stack. Work is
// linear in the file size.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace brisko {

enum class XmlEvent { kNone, kElementStart, kAttribute, kElementEnd, kDeclaration };

class XmlReader {
 public:
  using MessageCallback = std::function<void(const std::string& text)>;
  static constexpr size_t kMaxTextLength = size_t{16} << 20;

  XmlReader() = default;
  ~XmlReader();
  XmlReader(const XmlReader&) = delete;
  XmlReader& operator=(const XmlReader&) = delete;

  // When set, each error text also goes to the message callback (to stderr without one).
  void SetShowErrors(bool show) { m_showErrors = show; }
  void SetMessageCallback(MessageCallback cb) { m_onMessage = std::move(cb); }
  // Before the first read only (false afterwards).
  bool SetFileName(const std::string& path);

  // True when an event was read; false at the end of the file, when the file cannot be
  // opened (GetErrno() tells why) or after an error (GetErrorText() not empty).
  bool ReadNext();
  void Close();

  XmlEvent GetEventKind() const { return m_event; }
  // Element start / end: the element; declaration: the name after "<?" or "<!". During
  // attribute events it still names the element the attributes belong to.
  const std::string& GetElementName() const { return m_elementName; }
  void GetAttribute(std::string& name, std::string& value) const {
    name = m_attributeName;
    value = m_attributeValue;
  }
  const std::string& GetAttributeName() const { return m_attributeName; }
  const std::string& GetAttributeValue() const { return m_attributeValue; }

  // True once ReadNext() has returned false at a proper end of the file (every element
  // closed); false after an error, an unreadable file or before the end.
  bool IsCleanEnd() const { return m_cleanEnd; }
  bool HasError() const { return !m_errorText.empty(); }
  const std::string& GetErrorText() const { return m_errorText; }
  int GetErrno() const { return m_errno; }
  int GetLineNumber() const { return m_lineNumber; }

  // Test seam: a lower limit than kMaxTextLength.
  void SetMaxTextLength(size_t limit) { m_maxText = limit; }

 private:
  enum class State { kOutside, kInTag, kInDeclaration, kInComment, kInCData };
  enum class Step { kEvent, kContinue, kFail };

  bool NextLine();
  bool Fail(const char* message);
  bool AtEndOfFile();
  bool SkipBlanks();  // across lines; false at the end of the file
  Step TagOpening();
  Step InsideTag();
  Step SkipDeclaration();
  Step SkipUntil(const char* marker);
  std::string ReadName();

  std::string m_fileName;
  std::FILE* m_file = nullptr;
  bool m_opened = false;
  bool m_done = false;
  bool m_showErrors = false;
  MessageCallback m_onMessage;
  size_t m_maxText = kMaxTextLength;

  std::string m_line;  // the current line with its line end
  size_t m_pos = 0;
  int m_lineNumber = 0;
  bool m_lineTooLong = false;

  State m_state = State::kOutside;
  int64_t m_depth = 0;
  bool m_sawElement = false;
  bool m_cleanEnd = false;
  char m_declQuote = 0;
  int64_t m_declBrackets = 0;

  XmlEvent m_event = XmlEvent::kNone;
  std::string m_elementName;
  std::string m_attributeName;
  std::string m_attributeValue;
  std::string m_errorText;
  int m_errno = 0;
};

}  // namespace brisko
