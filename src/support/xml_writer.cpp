#include "support/xml_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace brisko {

void XmlTag::SetAttribute(const std::string& name, const std::string& value) {
  for (auto& attribute : m_attributes) {
    if (attribute.first == name) {
      attribute.second = value;
      return;
    }
  }
  m_attributes.emplace_back(name, value);
}

XmlWriter::~XmlWriter() {
  Discard();
}

bool XmlWriter::SetFileName(const std::string& path) {
  if (m_file) return false;
  m_fileName = path;
  m_errno = 0;
  return true;
}

void XmlWriter::AppendTag(std::string& out, const XmlTag& tag) const {
  out += tag.GetName();
  for (const auto& [name, value] : tag.GetAttributes()) {
    out += ' ';
    out += name;
    out += "=\"";
    out += value;
    out += '"';
  }
}

void XmlWriter::AppendIndent(std::string& out, bool indent) const {
  if (indent && m_level > 0) out.append(static_cast<size_t>(m_level), ' ');
}

bool XmlWriter::WriteStartTag(const XmlTag& tag, int indentChange, bool indent, bool newline) {
  m_level += indentChange;
  std::string out;
  AppendIndent(out, indent);
  out += '<';
  AppendTag(out, tag);
  out += newline ? ">\r\n" : ">";
  return Output(out);
}

bool XmlWriter::WriteEmptyTag(const XmlTag& tag, int indentChange, bool indent, bool newline) {
  m_level += indentChange;
  std::string out;
  AppendIndent(out, indent);
  out += '<';
  AppendTag(out, tag);
  out += newline ? "/>\r\n" : "/>";
  m_level -= indentChange;
  return Output(out);
}

bool XmlWriter::WriteEndTag(const std::string& name, int indentChange, bool indent, bool newline) {
  std::string out;
  AppendIndent(out, indent);
  out += "</";
  out += name;
  out += newline ? ">\r\n" : ">";
  m_level += indentChange;
  return Output(out);
}

bool XmlWriter::Open() {
  if (m_fileName.empty()) {
    m_errno = ENOENT;
    return false;
  }
  // Temporary name beside the target so that the final rename stays on one file system.
  const size_t slash = m_fileName.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : m_fileName.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? m_fileName : m_fileName.substr(slash + 1);
  std::string temp = folder + "." + base + ".XXXXXX";
  // mkostemp creates the file with mode 0600.
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    m_errno = errno;
    return false;
  }
  m_file = fdopen(fd, "wb");
  if (!m_file) {
    m_errno = errno;
    close(fd);
    unlink(temp.c_str());
    return false;
  }
  m_tempName = temp;
  return true;
}

bool XmlWriter::Output(const std::string& text) {
  if (m_errno != 0) return false;
  if (!m_file && !Open()) return false;
  if (!m_declarationWritten) {
    XmlTag declaration("xml");
    declaration.SetAttribute("version", "1.0");
    declaration.SetAttribute("encoding", "UTF-8");
    std::string line = "<?";
    AppendTag(line, declaration);
    line += "?>\r\n";
    m_declarationWritten = true;
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size()) {
      m_errno = errno ? errno : EIO;
      return false;
    }
  }
  if (std::fwrite(text.data(), 1, text.size(), m_file) != text.size()) {
    m_errno = errno ? errno : EIO;
    return false;
  }
  return true;
}

bool XmlWriter::Close() {
  bool ok = m_errno == 0;
  if (m_file) {
    if (ok && std::fflush(m_file) != 0) {
      m_errno = errno;
      ok = false;
    }
    if (ok && fsync(fileno(m_file)) != 0) {
      m_errno = errno;
      ok = false;
    }
    if (std::fclose(m_file) != 0 && ok) {
      m_errno = errno;
      ok = false;
    }
    m_file = nullptr;
    if (ok && std::rename(m_tempName.c_str(), m_fileName.c_str()) != 0) {
      m_errno = errno;
      ok = false;
    }
    if (!ok) {
      unlink(m_tempName.c_str());
    } else {
      // Make the new directory entry durable too.
      const size_t slash = m_fileName.rfind('/');
      const std::string folder = slash == std::string::npos ? "." : m_fileName.substr(0, slash + 1);
      const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
      }
    }
    m_tempName.clear();
  }
  m_declarationWritten = false;
  m_level = 0;
  if (ok) m_errno = 0;
  return ok;
}

void XmlWriter::Discard() {
  if (m_file) {
    std::fclose(m_file);
    m_file = nullptr;
    unlink(m_tempName.c_str());
    m_tempName.clear();
  }
  m_declarationWritten = false;
  m_level = 0;
}

}  // namespace brisko
