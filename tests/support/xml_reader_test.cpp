#include "support/xml_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/temp_dir.h"
#include "support/xml_escape.h"
#include "support/xml_writer.h"

using namespace brisko;

namespace {

struct Ev {
  XmlEvent kind;
  std::string name;
  std::string value;
  bool operator==(const Ev&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Ev& e) {
  return os << static_cast<int>(e.kind) << ":" << testing::PrintToString(e.name) << "="
            << testing::PrintToString(e.value);
}

// Reads every event; attribute events carry the attribute name and value, the others the
// element name.
std::vector<Ev> ReadAll(XmlReader& r) {
  std::vector<Ev> events;
  while (r.ReadNext()) {
    if (r.GetEventKind() == XmlEvent::kAttribute) {
      std::string name, value;
      r.GetAttribute(name, value);
      events.push_back({XmlEvent::kAttribute, name, value});
    } else {
      events.push_back({r.GetEventKind(), r.GetElementName(), ""});
    }
  }
  return events;
}

struct Parsed {
  std::vector<Ev> events;
  std::string error;
  bool clean = false;
};

Parsed ParseText(const std::string& text, size_t limit = XmlReader::kMaxTextLength) {
  test::TempDir dir;
  test::WriteFile(dir / "in.xml", text);
  XmlReader r;
  r.SetFileName(dir / "in.xml");
  r.SetMaxTextLength(limit);
  Parsed p;
  p.events = ReadAll(r);
  p.error = r.GetErrorText();
  p.clean = r.IsCleanEnd();
  EXPECT_FALSE(r.ReadNext());  // stays at its end
  return p;
}

constexpr auto kStart = XmlEvent::kElementStart;
constexpr auto kAttr = XmlEvent::kAttribute;
constexpr auto kEnd = XmlEvent::kElementEnd;
constexpr auto kDecl = XmlEvent::kDeclaration;

}  // namespace

TEST(EscapeText, escapesAmpersandQuoteAndLessThanOnly) {
  EXPECT_EQ(EscapeText("a&b"), "a&amp;b");
  EXPECT_EQ(EscapeText("x\"y<z"), "x&quot;y&lt;z");
  EXPECT_EQ(EscapeText("> ' \r\n \xC3\xBC"), "> ' \r\n \xC3\xBC");
}

TEST(UnescapeText, decodesEachReferenceOnceLeftToRight) {
  const std::pair<const char*, const char*> cases[] = {
      {"&amp;amp;", "&amp;"},
      {"&amp;lt;", "&lt;"},
      {"&lt;&quot;&amp;&gt;&apos;", "<\"&>'"},
      {"&#60;&#x3C;&#x3c;&#0060;", "<<<<"},
      {"&#xE9;&#x20AC;&#128247;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7"},
      {"a & b & &#; &#x; &#12 &#1a; &#X41; &bogus;", "a & b & &#; &#x; &#12 &#1a; &#X41; &bogus;"},
      {"&am&amp;", "&am&"},
      {"&&lt;", "&<"},
      {"", ""},
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    EXPECT_TRUE(UnescapeText(in, out)) << in;
    EXPECT_EQ(out, want) << in;
  }
  for (const char* bad :
       {"&#0;", "&#x0;", "&#xD800;", "&#x110000;", "&#99999999999999999999;", "&#xFFFE;", "&#1;"}) {
    std::string out, reference;
    EXPECT_FALSE(UnescapeText(std::string("a") + bad, out, &reference)) << bad;
    EXPECT_EQ(reference, std::string(bad).substr(0, 24));
  }
}

TEST(AnXmlReader, readsBackEverythingTheWriterWrites) {
  const std::vector<std::string> values = {
      "plain",
      "a&b",
      "x\"y<z",
      "gt > and 'apos'",
      "line1\r\nline2\r\n\r\nline4",
      "lf\nonly",
      "trailing\r",
      "\r\n",
      "",
      "  spaced\tvalue  ",
      "&amp;lt;",
      "\xC3\xBC\xE2\x82\xAC \xF0\x9F\x93\xB7",
      "</k>\r\n<v name=\"x\"/>",
      std::string("nul\0byte", 8),
  };
  test::TempDir dir;
  const std::string path = dir / "rt.BriskoWorkflowBackup";
  XmlWriter w;
  w.SetFileName(path);
  XmlTag root("k");
  root.SetAttribute("name", EscapeText("Brisko Pty Ltd & <Co> \"x\""));
  w.WriteStartTag(root);
  std::vector<Ev> expected = {
      {kDecl, "xml", ""}, {kStart, "k", ""}, {kAttr, "name", "Brisko Pty Ltd & <Co> \"x\""}};
  for (const std::string& value : values) {
    XmlTag v("v");
    v.SetAttribute("name", EscapeText(value));
    v.SetAttribute("value", EscapeText(value));
    w.WriteEmptyTag(v);
    expected.insert(expected.end(),
                    {{kStart, "v", ""}, {kAttr, "name", value}, {kAttr, "value", value}, {kEnd, "v", ""}});
  }
  w.WriteEmptyTag(XmlTag("k"));
  w.WriteEndTag("k");
  expected.insert(expected.end(), {{kStart, "k", ""}, {kEnd, "k", ""}, {kEnd, "k", ""}});
  ASSERT_TRUE(w.Close());

  XmlReader r;
  r.SetFileName(path);
  std::vector<Ev> events = ReadAll(r);
  for (Ev& e : events) {
    if (e.kind == kAttr) {
      std::string decoded;
      EXPECT_TRUE(UnescapeText(e.value, decoded));
      e.value = decoded;
    }
  }
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(r.IsCleanEnd());
  EXPECT_EQ(r.GetErrorText(), "");
}

TEST(AnXmlReader, skipsCommentsCharacterDataAndTextAcrossLines) {
  const Parsed p = ParseText(
      "<?xml version='1.0' encoding=\"UTF-8\"?>\r\n"
      "<!DOCTYPE k [ <!ENTITY a \"x>y\"> ]>\r\n"
      "<k\r\n  name = 'single \"quoted\"'\r\n  other=\"a>b\">text <!-- a <comment>\r\n"
      "still comment --> more text <![CDATA[ <x>\r\n ]] ]]>\r\n"
      "\t<v a=\"1\"\r\n/>\r\n"
      "</k >\n"
      "trailing text\r\n");
  const std::vector<Ev> expected = {
      {kDecl, "xml", ""},      {kDecl, "DOCTYPE", ""},
      {kStart, "k", ""},       {kAttr, "name", "single \"quoted\""},
      {kAttr, "other", "a>b"}, {kStart, "v", ""},
      {kAttr, "a", "1"},       {kEnd, "v", ""},
      {kEnd, "k", ""},
  };
  EXPECT_EQ(p.events, expected);
  EXPECT_EQ(p.error, "");
  EXPECT_TRUE(p.clean);
}

TEST(AnXmlReader, reportsEachErrorWithItsLineAndStops) {
  const std::pair<std::string, std::string> cases[] = {
      {"<>\r\n", "Parse error in line 1 : (Empty element name)"},
      {"<?xml version=\"1.0\"?>\r\n< k/>\r\n", "Parse error in line 2 : (Empty element name)"},
      {"<k>\r\n</>\r\n", "Parse error in line 2 : (Empty element name)"},
      {"<k a=\"1\"\r\n <v/>", "Parse error in line 2 : (Bad '<' symbol)"},
      {"<<k/>", "Parse error in line 1 : (Bad '<' symbol)"},
      {"<k>\r\n<\r\n</k>\r\n", "Parse error in line 2 : (\'<\' symbol not allowed at the end of a line)"},
      {"<k>\r\n  <", "Parse error in line 2 : (\'<\' symbol not allowed at the end of a line)"},
      {"<k =\"1\"/>", "Parse error in line 1 : (Missing attribute name before '=')"},
      {"<k a=\"1\"\r\n\r\n =\"2\"/>", "Parse error in line 3 : (Missing attribute name before '=')"},
      {"<k a=1/>", "Parse error in line 1 : (Syntax error)"},
      {"<k a\"1\"/>", "Parse error in line 1 : (Syntax error)"},
      {"<k a=\"1\"/ >", "Parse error in line 1 : (Syntax error)"},
      {"<k a=\"1\"?>", "Parse error in line 1 : (Syntax error)"},
      {"<k>\r\n</k x>", "Parse error in line 2 : (Syntax error)"},
      {"<k\x01>", "Parse error in line 1 : (Syntax error)"},
      {std::string("\x00\xff\xfe<\x02garbage", 12), "Parse error in line 1 : (Empty element name)"},
      // A file that ends too early never reads as complete.
      {"", "Parse error in line 0 : (Unexpected end of file)"},
      {"just text\r\n", "Parse error in line 1 : (Unexpected end of file)"},
      {"<k a=\"1\"", "Parse error in line 1 : (Unexpected end of file)"},
      {"<k a=\"open value\r\nsecond line\r\n", "Parse error in line 2 : (Unexpected end of file)"},
      {"<k>\r\n<!-- never closed\r\n-- >\r\n", "Parse error in line 3 : (Unexpected end of file)"},
      {"<k>\r\n<![CDATA[ never closed\r\n", "Parse error in line 2 : (Unexpected end of file)"},
      {"<?xml version=\"1.0\"\r\n", "Parse error in line 1 : (Unexpected end of file)"},
      {"<k>\r\n <v/>\r\n", "Parse error in line 2 : (Unexpected end of file)"},
      {"<k>\r\n</k", "Parse error in line 2 : (Unexpected end of file)"},
  };
  for (const auto& [text, error] : cases) {
    const Parsed p = ParseText(text);
    EXPECT_EQ(p.error, error) << testing::PrintToString(text);
    EXPECT_FALSE(p.clean);
  }
}

TEST(AnXmlReader, deliversTheEventsBeforeAnErrorAndShowsTheErrorOnlyWhenAsked) {
  test::TempDir dir;
  test::WriteFile(dir / "bad.xml", "<k name=\"a\">\r\n<v =\"x\"/>\r\n</k>\r\n");
  for (bool show : {false, true}) {
    XmlReader r;
    std::vector<std::string> shown;
    r.SetShowErrors(show);
    r.SetMessageCallback([&](const std::string& text) { shown.push_back(text); });
    r.SetFileName(dir / "bad.xml");
    const std::vector<Ev> expected = {{kStart, "k", ""}, {kAttr, "name", "a"}, {kStart, "v", ""}};
    EXPECT_EQ(ReadAll(r), expected);
    EXPECT_EQ(r.GetErrorText(), "Parse error in line 2 : (Missing attribute name before '=')");
    EXPECT_EQ(r.GetEventKind(), XmlEvent::kNone);
    EXPECT_FALSE(r.ReadNext());  // the first error stops the reader
    EXPECT_EQ(shown.size(), show ? 1u : 0u);
    if (show) {
      EXPECT_EQ(shown[0], r.GetErrorText());
    }
  }
}

TEST(AnXmlReader, failsWithoutAParseErrorOnAFileItCannotOpenOrRead) {
  XmlReader missing;
  missing.SetFileName("/nonexistent/brisko.xml");
  EXPECT_FALSE(missing.ReadNext());
  EXPECT_EQ(missing.GetErrno(), ENOENT);
  EXPECT_FALSE(missing.IsCleanEnd());
  EXPECT_FALSE(missing.HasError());
  EXPECT_FALSE(missing.SetFileName("/other"));

  test::TempDir dir;
  XmlReader folder;
  folder.SetFileName(dir.Path());
  EXPECT_FALSE(folder.ReadNext());
  EXPECT_NE(folder.GetErrno(), 0);
  EXPECT_FALSE(folder.IsCleanEnd());
}

TEST(AnXmlReader, boundsLineAndValueLengths) {
  EXPECT_EQ(ParseText("<k a=\"" + std::string(5000, 'x') + "\"/>", 1000).error,
            "Parse error in line 1 : (Line too long)");
  std::string manyLines = "<k a=\"";
  for (int i = 0; i < 100; ++i) manyLines += std::string(50, 'x') + "\r\n";
  EXPECT_EQ(ParseText(manyLines + "\"/>", 1000).error, "Parse error in line 20 : (Value too long)");
  // Long comments and text cost no memory beyond one line.
  std::string comment = "<k><!--";
  for (int i = 0; i < 100; ++i) comment += std::string(50, 'x') + "\r\n";
  EXPECT_TRUE(ParseText(comment + "--></k>", 1000).clean);
}

TEST(AnXmlReader, readsDeepNestingWithoutAStack) {
  const int depth = 200000;
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<k>";
  text += "\r\n";
  for (int i = 0; i < depth; ++i) text += "</k>";
  const Parsed p = ParseText(text);
  EXPECT_TRUE(p.clean);
  EXPECT_EQ(p.events.size(), 2u * depth);
}
