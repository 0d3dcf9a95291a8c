#include "support/xml_document.h"

#include <cstdio>

#include "support/xml_escape.h"

namespace brisko {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where a tag name ends.
bool EndsName(char c) {
  return IsBlank(c) || c == '=' || c == '/' || c == '[' || c == '>' || c == '<';
}

}  // namespace

bool XmlDocument::Fail(const char* message, int32_t element) {
  std::string text = message;
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, std::string(Name(element)));
  m_elements.clear();
  m_error = std::move(text);
  return false;
}

std::string_view XmlDocument::Name(int32_t element) const {
  if (element <= 0 || static_cast<size_t>(element) >= m_elements.size()) return {};
  const Element& e = m_elements[static_cast<size_t>(element)];
  return std::string_view(m_doc).substr(e.startL + 1, e.nameLen);
}

void XmlDocument::ResetPos() {
  m_parent = 0;
  m_main = 0;
  m_child = 0;
  m_onElement = false;
}

bool XmlDocument::SetDoc(const std::string& text) {
  ResetPos();
  m_elements.clear();
  m_error.clear();
  if (text.size() > kMaxDocumentSize) {
    m_doc.clear();
    m_error = "Document too large";
    return false;
  }
  m_doc = text;
  if (m_doc.empty()) return false;
  return Parse();
}

bool XmlDocument::Parse() {
  const std::string_view doc(m_doc);
  const size_t n = doc.size();
  m_elements.assign(1, Element{});
  std::vector<int32_t> lastChild(1, 0);  // per element, while parsing
  std::vector<int32_t> open;             // elements whose end tag is still to come
  size_t i = 0;
  for (;;) {
    const size_t lt = doc.find('<', i);
    if (lt == std::string_view::npos) {
      if (!open.empty()) return Fail("End tag of %s element not found", open.back());
      if (m_elements.size() == 1) return Fail("Element tag not found");
      return true;
    }
    if (lt + 1 >= n) return Fail("Abrupt end within tag");
    const char c = doc[lt + 1];

    if (c == '!' || c == '?') {
      const std::string_view rest = doc.substr(lt);
      const char* close = nullptr;
      if (rest.starts_with("<!--")) {
        close = "-->";
      } else if (rest.starts_with("<![CDATA[")) {
        close = "]]>";
      } else if (c == '?') {
        close = "?>";
      }
      if (close) {
        const size_t end = doc.find(close, lt + 2);
        if (end == std::string_view::npos) return Fail("Abrupt end within tag");
        i = end + std::char_traits<char>::length(close);
        continue;
      }
      // "<!DOCTYPE ...>" and the like: up to ">" outside quotes and brackets.
      if (lt + 2 >= n || EndsName(doc[lt + 2])) return Fail("Invalid node");
      size_t j = lt + 2;
      size_t brackets = 0;
      for (; j < n; ++j) {
        const char d = doc[j];
        if (d == '"' || d == '\'') {
          j = doc.find(d, j + 1);
          if (j == std::string_view::npos) return Fail("Abrupt end within tag");
        } else if (d == '[') {
          ++brackets;
        } else if (d == ']') {
          if (brackets > 0) --brackets;
        } else if (d == '>' && brackets == 0) {
          break;
        }
      }
      if (j >= n) return Fail("Abrupt end within tag");
      i = j + 1;
      continue;
    }

    if (c == '/') {
      if (open.empty()) return Fail("Invalid node");
      const int32_t current = open.back();
      size_t j = lt + 2;
      while (j < n && !EndsName(doc[j])) ++j;
      const std::string_view name = doc.substr(lt + 2, j - (lt + 2));
      if (name != Name(current)) {
        for (int32_t ancestor : open) {
          if (name == Name(ancestor)) return Fail("Expecting end tag of element %s", current);
        }
        return Fail("End tag does not correspond to %s", current);
      }
      while (j < n && IsBlank(doc[j])) ++j;
      if (j >= n || doc[j] != '>') return Fail("End tag not completed for element %s", current);
      Element& e = m_elements[static_cast<size_t>(current)];
      e.endL = static_cast<uint32_t>(lt);
      e.endR = static_cast<uint32_t>(j);
      open.pop_back();
      i = j + 1;
      continue;
    }

    if (c == '"' || c == '\'') return Fail("Tag starts with quote");
    if (EndsName(c)) return Fail("Invalid node");

    // A start tag: the name, then attributes up to ">" outside quotes.
    size_t j = lt + 1;
    while (j < n && !EndsName(doc[j])) ++j;
    const size_t nameEnd = j;
    for (; j < n; ++j) {
      const char d = doc[j];
      if (d == '"' || d == '\'') {
        j = doc.find(d, j + 1);
        if (j == std::string_view::npos) return Fail("Abrupt end within tag");
      } else if (d == '<') {
        return Fail("End of tag not found");
      } else if (d == '>') {
        break;
      }
    }
    if (j >= n) return Fail("Abrupt end within tag");
    if (m_elements.size() >= kMaxElements) return Fail("Too many elements");
    if (open.size() >= kMaxDepth) return Fail("Elements nested too deeply");

    const int32_t parent = open.empty() ? 0 : open.back();
    const auto index = static_cast<int32_t>(m_elements.size());
    Element e;
    e.startL = static_cast<uint32_t>(lt);
    e.startR = static_cast<uint32_t>(j);
    e.nameLen = static_cast<uint32_t>(nameEnd - lt - 1);
    e.parent = parent;
    const bool empty = j > nameEnd && doc[j - 1] == '/';
    if (empty) {
      e.endL = e.startR;
      e.endR = e.startR;
    }
    m_elements.push_back(e);
    lastChild.push_back(0);
    const auto p = static_cast<size_t>(parent);
    if (lastChild[p] == 0) {
      m_elements[p].firstChild = index;
    } else {
      m_elements[static_cast<size_t>(lastChild[p])].next = index;
    }
    lastChild[p] = index;
    if (!empty) open.push_back(index);
    i = j + 1;
  }
}

bool XmlDocument::FindElem(const std::string& name) {
  if (m_elements.empty()) return false;
  int32_t at = m_main ? m_elements[static_cast<size_t>(m_main)].next
                      : m_elements[static_cast<size_t>(m_parent)].firstChild;
  for (; at != 0; at = m_elements[static_cast<size_t>(at)].next) {
    if (name.empty() || Name(at) == name) {
      m_main = at;
      m_child = 0;
      m_onElement = true;
      return true;
    }
  }
  return false;
}

bool XmlDocument::IntoElem() {
  if (m_main == 0) return false;
  m_parent = m_main;
  m_main = m_child;
  m_child = 0;
  m_onElement = m_main != 0;
  return true;
}

bool XmlDocument::OutOfElem() {
  if (m_parent == 0) return false;
  m_child = m_main;
  m_main = m_parent;
  m_parent = m_elements[static_cast<size_t>(m_parent)].parent;
  m_onElement = true;
  return true;
}

std::string XmlDocument::GetTagName() const {
  return std::string(Name(m_main));
}

std::string XmlDocument::GetData() const {
  if (m_main == 0 || static_cast<size_t>(m_main) >= m_elements.size()) return {};
  const Element& e = m_elements[static_cast<size_t>(m_main)];
  if (e.firstChild != 0 || e.endL == e.startR) return {};
  const std::string_view content = std::string_view(m_doc).substr(e.startR + 1, e.endL - e.startR - 1);
  size_t k = 0;
  while (k < content.size() && IsBlank(content[k])) ++k;
  if (content.substr(k).starts_with("<![CDATA[")) {
    const size_t end = content.find("]]>", k + 9);
    if (end != std::string_view::npos) return std::string(content.substr(k + 9, end - k - 9));
  }
  return UnescapeNamed(content);
}

}  // namespace brisko
