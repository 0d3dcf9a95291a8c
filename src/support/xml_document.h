#pragma once
// In-memory XML document with element navigation, for the directory text of picture layout
// template files. SetDoc() parses the whole text once into a table of elements; navigation
// then moves between a parent element, a main element and a child position:
//
//   doc.FindElem("ALBUM"); doc.IntoElem(); doc.FindElem("VERSION"); doc.GetData();
//
// FindElem searches forward among the parent's children, from the element after the main
// element, and never wraps round; on failure nothing moves, so GetData() still returns the
// text of the element found last. Names compare exactly, letter case included; an empty name
// matches any element.
//
// Texts are bytes (UTF-8 here); no conversion is made. Comments, "<?...?>", "<!DOCTYPE ...>"
// and CDATA sections are skipped while parsing; text outside elements is ignored.
//
// Limits (bounded memory and work, linear in the text): a text of at most 64 MiB ("Document
// too large"), elements nested at most 10000 deep ("Elements nested too deeply"), at most
// 2000000 elements ("Too many elements"). The parser keeps its own stack and never recurses.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

class XmlDocument {
 public:
  static constexpr size_t kMaxDocumentSize = size_t{64} << 20;
  static constexpr size_t kMaxDepth = 10000;
  static constexpr size_t kMaxElements = 2000000;

  // Keeps a copy of `text` and parses it. True when the text is not empty and parses; the
  // positions then stand at the top level with no main element. False for an empty text or
  // a parse error (GetError() tells which); the element table is then empty.
  bool SetDoc(const std::string& text);
  const std::string& GetError() const { return m_error; }

  bool FindElem(const std::string& name = std::string());
  bool IntoElem();
  bool OutOfElem();
  // The text of the main element: empty when it has child elements or no content; the
  // contents of a leading CDATA section unchanged; else the content with "&lt;", "&amp;",
  // "&gt;", "&apos;" and "&quot;" decoded once, left to right.
  std::string GetData() const;
  std::string GetTagName() const;                   // of the main element; empty when none
  bool IsOnElement() const { return m_onElement; }  // the current node is an element
  void ResetPos();

 private:
  struct Element {
    uint32_t startL = 0;   // "<" of the start tag
    uint32_t startR = 0;   // ">" of the start tag
    uint32_t endL = 0;     // "<" of the end tag (startR for an empty element)
    uint32_t endR = 0;     // ">" of the end tag (startR for an empty element)
    uint32_t nameLen = 0;  // the name starts at startL + 1
    int32_t parent = 0;
    int32_t firstChild = 0;
    int32_t next = 0;
  };

  bool Parse();
  bool Fail(const char* message, int32_t element = 0);
  std::string_view Name(int32_t element) const;

  std::string m_doc;
  std::vector<Element> m_elements;  // [0] stands for the document itself
  std::string m_error;
  int32_t m_parent = 0;
  int32_t m_main = 0;
  int32_t m_child = 0;
  bool m_onElement = false;  // kind of the current node: element or none
};

}  // namespace brisko
