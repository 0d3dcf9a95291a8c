#pragma once
// Streaming XML writer for the settings backup.
//
// Layout: the declaration line, then one tag per call, indented by one blank per level, lines
// ended by CR LF. Attribute values are written between double quotes exactly as given: callers
// pass texts already escaped with EscapeText (a value may hold line breaks, which then continue
// on the next lines of the file).
//
// The file is created at the first write. It is written under a temporary name in the same
// folder (mode 0600: backups hold the settings password) and moved over the final name by
// Close(), so an existing file is replaced only by a complete one. A writer destroyed without
// Close() removes its temporary file.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace brisko {

// One tag to be written: a name and its attributes in order.
class XmlTag {
 public:
  XmlTag() = default;
  explicit XmlTag(std::string name) : m_name(std::move(name)) {}

  void SetName(std::string name) { m_name = std::move(name); }
  const std::string& GetName() const { return m_name; }
  // Replaces the value of an attribute of that name (exact comparison), else appends it.
  void SetAttribute(const std::string& name, const std::string& value);
  const std::vector<std::pair<std::string, std::string>>& GetAttributes() const { return m_attributes; }

 private:
  std::string m_name;
  std::vector<std::pair<std::string, std::string>> m_attributes;
};

class XmlWriter {
 public:
  XmlWriter() = default;
  ~XmlWriter();
  XmlWriter(const XmlWriter&) = delete;
  XmlWriter& operator=(const XmlWriter&) = delete;

  // Only before the first write (false afterwards, the name is kept). Also clears the error
  // of an earlier file.
  bool SetFileName(const std::string& path);
  const std::string& GetFileName() const { return m_fileName; }

  // level += indentChange, then [level blanks] "<name attr="value"...>" [CR LF].
  bool WriteStartTag(const XmlTag& tag, int indentChange = 1, bool indent = true, bool newline = true);
  // As WriteStartTag with "/>", then level -= indentChange.
  bool WriteEmptyTag(const XmlTag& tag, int indentChange = 1, bool indent = true, bool newline = true);
  // [level blanks] "</name>" [CR LF], then level += indentChange.
  bool WriteEndTag(const std::string& name, int indentChange = -1, bool indent = true, bool newline = true);

  // Flushes, syncs and moves the file to its final name; clears the state so that a next
  // write starts a new file. True when nothing was written or the file is complete in place;
  // false (the temporary file removed, an existing file under the name untouched) after any
  // failure.
  bool Close();
  // Drops what was written so far; the final name is not touched.
  void Discard();

  bool Failed() const { return m_errno != 0; }
  int GetErrno() const { return m_errno; }  // errno of the first failure, 0 when none
  int GetLevel() const { return m_level; }

 private:
  bool Output(const std::string& text);
  bool Open();
  void AppendTag(std::string& out, const XmlTag& tag) const;
  void AppendIndent(std::string& out, bool indent) const;

  std::string m_fileName;
  std::string m_tempName;
  std::FILE* m_file = nullptr;
  bool m_declarationWritten = false;
  int m_level = 0;
  int m_errno = 0;
};

}  // namespace brisko
