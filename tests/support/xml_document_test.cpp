#include "support/xml_document.h"

#include <gtest/gtest.h>

using namespace brisko;

namespace {

const char* kAlbum =
    "<?xml version=\"1.0\"?>\r\n"
    "<!-- made by a designer -->\r\n"
    "<ALBUM>\r\n"
    " <VERSION>3</VERSION>\r\n"
    " <ALBUM_NAME>Kids &amp; Parents</ALBUM_NAME>\r\n"
    " <TEMPLATES>\r\n"
    "  <NUMTEMPLATES>2</NUMTEMPLATES>\r\n"
    "  <TEMPLATE_0><NAME>first</NAME><NUMPHOTORECTS>1</NUMPHOTORECTS></TEMPLATE_0>\r\n"
    "  <TEMPLATE_1 id=\"x\"><NAME>second</NAME><CATEGORY/></TEMPLATE_1>\r\n"
    " </TEMPLATES>\r\n"
    "</ALBUM>\r\n";

}  // namespace

TEST(AnXmlDocument, walksAnAlbumDirectoryInOrder) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDoc(kAlbum));
  EXPECT_EQ(doc.GetData(), "");  // no main element yet
  EXPECT_FALSE(doc.IsOnElement());
  ASSERT_TRUE(doc.FindElem("ALBUM"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("VERSION"));
  EXPECT_EQ(doc.GetData(), "3");
  // ALBUMID is missing: nothing moves, the last element's text is still there.
  EXPECT_FALSE(doc.FindElem("ALBUMID"));
  EXPECT_EQ(doc.GetData(), "3");
  ASSERT_TRUE(doc.FindElem("ALBUM_NAME"));
  EXPECT_EQ(doc.GetData(), "Kids & Parents");
  ASSERT_TRUE(doc.FindElem("TEMPLATES"));
  EXPECT_EQ(doc.GetData(), "");  // has child elements
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("NUMTEMPLATES"));
  EXPECT_EQ(doc.GetData(), "2");
  for (const char* name : {"first", "second"}) {
    ASSERT_TRUE(doc.FindElem(std::string("TEMPLATE_") + (name[0] == 'f' ? "0" : "1")));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindElem("NAME"));
    EXPECT_EQ(doc.GetData(), name);
    ASSERT_TRUE(doc.OutOfElem());
  }
  EXPECT_EQ(doc.GetTagName(), "TEMPLATE_1");
  // Going back in continues after the child found last.
  ASSERT_TRUE(doc.IntoElem());
  EXPECT_EQ(doc.GetTagName(), "NAME");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "CATEGORY");
  EXPECT_EQ(doc.GetData(), "");
  EXPECT_FALSE(doc.FindElem());
  ASSERT_TRUE(doc.OutOfElem());
  ASSERT_TRUE(doc.OutOfElem());
  ASSERT_TRUE(doc.OutOfElem());
  EXPECT_EQ(doc.GetTagName(), "ALBUM");
  EXPECT_FALSE(doc.OutOfElem());        // already at the top level
  EXPECT_FALSE(doc.FindElem("ALBUM"));  // never wraps round
}

// Searches run forward among the siblings and never wrap; names match whole and with letter case.
TEST(AnXmlDocument, searchesForwardForWholeNamesWithLetterCase) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDoc("<R><NAMES>s</NAMES><name>l</name><NAME\tx=\"1\">t</NAME><N/><NAME[1]/><B/></R>"));
  ASSERT_TRUE(doc.FindElem("R"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("NAME"));
  EXPECT_EQ(doc.GetData(), "t");
  ASSERT_TRUE(doc.FindElem("N"));
  EXPECT_EQ(doc.GetTagName(), "N");
  ASSERT_TRUE(doc.FindElem("NAME"));  // the name ends at "["
  EXPECT_FALSE(doc.FindElem("NAM"));
  EXPECT_FALSE(doc.FindElem("NAME"));
  EXPECT_FALSE(doc.FindElem("N"));
  ASSERT_TRUE(doc.FindElem("B"));
  EXPECT_FALSE(XmlDocument().IntoElem());
}

TEST(AnXmlDocument, decodesEntitiesOnceAndKeepsCdataUnchanged) {
  const std::pair<const char*, const char*> cases[] = {
      {"<a>&lt;&amp;&gt;&apos;&quot;</a>", "<&>'\""},
      {"<a>&amp;lt; &amp;amp;</a>", "&lt; &amp;"},
      {"<a>AT&T &unknown; &#65; &</a>", "AT&T &unknown; &#65; &"},
      {"<a> \r\n\t<![CDATA[<b>&amp;</b>]]></a>", "<b>&amp;</b>"},
      {"<a>x<![CDATA[&lt;]]></a>", "x<![CDATA[<]]>"},
      {"<a><![CDATA[unclosed ]]]></a>", "unclosed ]"},
      {"<a> spaced \r\n</a>", " spaced \r\n"},
      {"<a></a>", ""},
      {"<a/>", ""},
      {"<a x=\"/\">v</a>", "v"},
      {"<a x='>'>v</a>", "v"},
      {"<a>t<!-- c --></a>", "t<!-- c -->"},
      {"<a>\xC3\xBC\xE2\x82\xAC</a>", "\xC3\xBC\xE2\x82\xAC"},
  };
  for (const auto& [text, data] : cases) {
    XmlDocument doc;
    ASSERT_TRUE(doc.SetDoc(text)) << text << ": " << doc.GetError();
    ASSERT_TRUE(doc.FindElem("a"));
    EXPECT_EQ(doc.GetData(), data) << text;
  }
}

TEST(AnXmlDocument, rejectsBrokenTextWithItsErrorAndAnEmptyTable) {
  const std::pair<std::string, std::string> cases[] = {
      {"just text", "Element tag not found"},
      {"<?xml version=\"1.0\"?><!-- only a comment -->", "Element tag not found"},
      {"<a", "Abrupt end within tag"},
      {"<a x=\"1>", "Abrupt end within tag"},
      {"<a>text<", "Abrupt end within tag"},
      {"<a><!-- not closed", "Abrupt end within tag"},
      {"<a><![CDATA[ not closed", "Abrupt end within tag"},
      {"<?xml version", "Abrupt end within tag"},
      {"<\"a\"/>", "Tag starts with quote"},
      {"< a/>", "Invalid node"},
      {"<a><></a>", "Invalid node"},
      {"<a></a></a>", "Invalid node"},
      {"<a><! x></a>", "Invalid node"},
      {"<a <b/></a>", "End of tag not found"},
      {"<a><b></b>", "End tag of a element not found"},
      {"<a>\r\n<b>", "End tag of b element not found"},
      {"<a></b>", "End tag does not correspond to a"},
      {"<a></A>", "End tag does not correspond to a"},
      {"<a></>", "End tag does not correspond to a"},
      {"<a><b></a>", "Expecting end tag of element b"},
      {"<a></a x>", "End tag not completed for element a"},
      {"<a></a", "End tag not completed for element a"},
  };
  for (const auto& [text, error] : cases) {
    XmlDocument doc;
    EXPECT_FALSE(doc.SetDoc(text)) << text;
    EXPECT_EQ(doc.GetError(), error) << text;
    EXPECT_FALSE(doc.FindElem()) << text;
    EXPECT_EQ(doc.GetData(), "");
  }
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDoc(""));
  EXPECT_EQ(doc.GetError(), "");
  // A good text after a bad one parses afresh.
  EXPECT_TRUE(doc.SetDoc("<a>1</a>"));
  EXPECT_EQ(doc.GetError(), "");
}

TEST(AnXmlDocument, boundsDepthElementsAndSize) {
  auto nested = [](size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += "<a>";
    for (size_t i = 0; i < depth; ++i) text += "</a>";
    return text;
  };
  XmlDocument doc;
  EXPECT_TRUE(doc.SetDoc(nested(XmlDocument::kMaxDepth)));
  EXPECT_FALSE(doc.SetDoc(nested(XmlDocument::kMaxDepth + 1)));
  EXPECT_EQ(doc.GetError(), "Elements nested too deeply");

  std::string flat = "<r>";
  for (size_t i = 0; i < XmlDocument::kMaxElements; ++i) flat += "<e/>";
  EXPECT_FALSE(doc.SetDoc(flat + "</r>"));
  EXPECT_EQ(doc.GetError(), "Too many elements");

  std::string huge(XmlDocument::kMaxDocumentSize + 1, ' ');
  huge.replace(0, 4, "<a/>");
  EXPECT_FALSE(doc.SetDoc(huge));
  EXPECT_EQ(doc.GetError(), "Document too large");
}
