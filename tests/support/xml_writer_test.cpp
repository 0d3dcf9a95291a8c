#include "support/xml_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/mounts.h"
#include "common/temp_dir.h"
#include "support/file_test_util.h"
#include "support/xml_escape.h"

using namespace brisko;

namespace {

XmlTag Tag(const std::string& name, std::initializer_list<std::pair<std::string, std::string>> attrs) {
  XmlTag tag(name);
  for (const auto& [n, v] : attrs) tag.SetAttribute(n, v);
  return tag;
}

}  // namespace

TEST(AnXmlTag, replacesAnAttributeOfTheSameNameAndAppendsOthers) {
  XmlTag tag("v");
  tag.SetAttribute("name", "a");
  tag.SetAttribute("value", "1");
  tag.SetAttribute("name", "b");
  tag.SetAttribute("Name", "c");  // exact comparison: a different attribute
  ASSERT_EQ(tag.GetAttributes().size(), 3u);
  EXPECT_EQ(tag.GetAttributes()[0], (std::pair<std::string, std::string>("name", "b")));
  EXPECT_EQ(tag.GetAttributes()[2].first, "Name");
}

TEST(AnXmlWriter, writesTheDeclarationAndOneBlankPerLevelWithCrLf) {
  test::TempDir dir;
  const std::string path = dir / "out.BriskoWorkflowBackup";
  XmlWriter w;
  ASSERT_TRUE(w.SetFileName(path));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(w.WriteStartTag(Tag("k", {{"name", "HKEY_LOCAL_MACHINE"}})));
  EXPECT_FALSE(w.SetFileName(dir / "other"));  // only before the first write
  EXPECT_TRUE(w.WriteStartTag(Tag("k", {{"name", "SOFTWARE"}})));
  EXPECT_TRUE(
      w.WriteEmptyTag(Tag("v", {{"name", "a"}, {"value", EscapeText("x\"y<z&")}, {"type", "REG_DWORD"}})));
  EXPECT_TRUE(w.WriteEmptyTag(Tag("k", {{"name", "Empty"}})));
  EXPECT_TRUE(w.WriteEndTag("k"));
  EXPECT_EQ(w.GetLevel(), 1);
  EXPECT_TRUE(w.WriteEndTag("k"));
  EXPECT_TRUE(w.WriteStartTag(Tag("flat", {}), 0, false, false));
  EXPECT_TRUE(w.WriteEndTag("flat", 0, false, true));
  ASSERT_TRUE(w.Close());
  EXPECT_EQ(test::ReadFile(path),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            " <k name=\"HKEY_LOCAL_MACHINE\">\r\n"
            "  <k name=\"SOFTWARE\">\r\n"
            "   <v name=\"a\" value=\"x&quot;y&lt;z&amp;\" type=\"REG_DWORD\"/>\r\n"
            "   <k name=\"Empty\"/>\r\n"
            "  </k>\r\n"
            " </k>\r\n"
            "<flat></flat>\r\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(test::Names(dir.Path()).size(), 1u);  // no temporary file left
}

TEST(AnXmlWriter, replacesAnExistingFileOnlyWhenClosedAndKeepsItWhenAbandoned) {
  test::TempDir dir;
  const std::string path = dir / "b.xml";
  test::WriteFile(path, "old backup");
  chmod(path.c_str(), 0644);
  {
    XmlWriter w;
    w.SetFileName(path);
    ASSERT_TRUE(w.WriteEmptyTag(XmlTag("k")));
    EXPECT_EQ(test::ReadFile(path), "old backup");
  }  // destroyed without Close
  EXPECT_EQ(test::ReadFile(path), "old backup");
  EXPECT_EQ(test::Names(dir.Path()).size(), 1u);

  XmlWriter w;
  w.SetFileName(path);
  ASSERT_TRUE(w.WriteEmptyTag(XmlTag("k")));
  ASSERT_TRUE(w.Close());
  EXPECT_EQ(test::ReadFile(path), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n <k/>\r\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the password must not become readable by others

  // After Close a new write starts a new file, declaration included.
  ASSERT_TRUE(w.WriteEmptyTag(XmlTag("z"), 0, false));
  ASSERT_TRUE(w.Close());
  EXPECT_EQ(test::ReadFile(path), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<z/>\r\n");
}

TEST(AnXmlWriter, reportsAFolderThatDoesNotExist) {
  XmlWriter w;
  w.SetFileName("/nonexistent/brisko/b.xml");
  EXPECT_FALSE(w.WriteStartTag(XmlTag("k")));
  EXPECT_EQ(w.GetErrno(), ENOENT);
  EXPECT_FALSE(w.WriteEndTag("k"));
  EXPECT_FALSE(w.Close());
  XmlWriter unnamed;
  EXPECT_FALSE(unnamed.WriteEmptyTag(XmlTag("k")));
  EXPECT_TRUE(XmlWriter().Close());  // nothing written, nothing to fail
}

TEST(AnXmlWriter, failsOnAFullDiskAndLeavesTheOldFileAndNoTemporary) {
  test::TempDir dir;
  const std::string mnt = dir / "small";
  test::SmallTmpfs tmpfs(mnt, "64k");
  if (!tmpfs.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string path = mnt + "/b.xml";
  test::WriteFile(path, "old backup");
  {
    XmlWriter w;
    w.SetFileName(path);
    const XmlTag big = Tag("v", {{"value", std::string(4096, 'x')}});
    for (int i = 0; i < 64; ++i) w.WriteEmptyTag(big);
    EXPECT_FALSE(w.Close());
    EXPECT_EQ(w.GetErrno(), ENOSPC);
  }
  EXPECT_EQ(test::ReadFile(path), "old backup");
  EXPECT_EQ(test::Names(mnt).size(), 1u);
}
