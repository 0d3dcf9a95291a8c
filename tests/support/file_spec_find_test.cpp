#include "support/file_spec_find.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/temp_dir.h"

using namespace brisko;

namespace {

// Creating thousands of files is much faster in memory than on a busy disk.
const char* MemoryFolder() {
  struct stat st {};
  return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                                            : nullptr;
}

struct FilterCase {
  const char* include;
  const char* exclude;
  bool regex;
  const char* name;
  bool passes;
};

// Wildcards become anchored patterns; the lists split at bars and end at an empty entry.
TEST(AFilter, appliesIncludeThenExcludeCaseInsensitively) {
  const FilterCase cases[] = {
      {"*.jpg|*.jpeg", "", false, "a.JPG", true},
      {"*.jpg|*.jpeg", "", false, "b.jpeg", true},
      {"*.jpg|*.jpeg", "", false, "c.jpg.bak", false},
      {"*.jpg||*.png", "", false, "x.png", false},
      {"|*.png", "", false, "x.txt", true},
      {"*.jpg| *.png", "", false, "x.png", false},
      {"*.jpg| *.png", "", false, " x.png", true},
      {"", "*.tmp", false, "a.TMP", false},
      {"", "*.tmp", false, "a.tmpx", true},
      {"*.jpg", "tmp*", false, "tmp1.jpg", false},
      {"*.jpg", "tmp*", false, "img.jpg", true},
      {"*.jpg", "tmp*", false, "atmp.jpg", true},
      {"*.png|a\\b+", "", false, "A  ", true},  // "\b" and "+" pass into the pattern: blanks
      {"^img_\\d+\\.jpg$", "", true, "IMG_0012.JPG", true},
      {"^img_\\d+\\.jpg$", "", true, "IMG_A.JPG", false},
      {"photo(1).jpg", "", false, "photo1.jpg", true},
      {"photo(1).jpg", "", false, "photo(1).jpg", false},
      {"*.*", "", false, "noext", false},
      {"IMG_????.JP*", "", false, "img_0001.jpeg", true},
      {"IMG_????.JP*", "", false, "img_001.jpeg", false},
      // Names are UTF-8: "?" stands for one byte and only ASCII letters fold.
      {"*.jpg", "", false, "\xc3\x89t\xc3\xa9.JPG", true},
      {"?t?.jpg", "", false, "\xc3\xa9t\xc3\xa9.jpg", false},
      {"??t??.jpg", "", false, "\xc3\xa9t\xc3\xa9.jpg", true},
      {"^\xc3\xa9", "", true, "\xc3\x89T\xc3\x89.jpg", false},
  };
  for (const FilterCase& c : cases) {
    FileSpecFilter filter;
    filter.SetSpecs(c.include, c.exclude, c.regex);
    EXPECT_EQ(filter.Passes(c.name, false), c.passes) << c.include << " / " << c.exclude << " on " << c.name;
  }
}

TEST(AFilter, letsDirectoriesPassWithoutTestingThem) {
  FileSpecFilter filter;
  std::string error;
  filter.SetErrorSink(&error, nullptr);
  filter.SetSpecs("[", "*", true);
  EXPECT_TRUE(filter.Passes("sub", true));
  EXPECT_TRUE(filter.Passes("..", true));
  EXPECT_EQ(error, "");
}

TEST(AFilter, reportsEveryBadPatternForEveryNameExamined) {
  FileSpecFilter filter;
  std::vector<std::string> messages;
  filter.SetErrorSink(nullptr, [&](const std::string& m) { messages.push_back(m); });
  filter.SetSpecs("[|\\.jpg$|(a*)*", "{x", true);
  EXPECT_TRUE(filter.Passes("a.jpg", false));  // the good include still decides
  EXPECT_FALSE(filter.Passes("a.png", false));
  const std::vector<std::string> expected = {
      // a.jpg: "[" fails, "\.jpg$" matches and ends the include list; exclude "{x" fails.
      "Error on regex [:Bracket expected",
      "Error on regex {x:Brace expected",
      // a.png: every include pattern is tried.
      "Error on regex [:Bracket expected",
      "Error on regex (a*)*:Invalid repeator",
      "Error on regex {x:Brace expected",
  };
  EXPECT_EQ(messages, expected);
  EXPECT_EQ(filter.LastParseError(), kRegExpBraceExpected);
}

TEST(AFilter, storesTheLatestErrorInTheCallersTextRatherThanCalling) {
  FileSpecFilter filter;
  std::string error;
  int calls = 0;
  filter.SetErrorSink(&error, [&](const std::string&) { ++calls; });
  filter.SetSpecs("photo[", "(tmp", false);
  EXPECT_FALSE(filter.Passes("photo", false));
  EXPECT_EQ(error, "Error on regex ^(tmp$:Paren expected");
  EXPECT_EQ(calls, 0);
}

TEST(AFilter, reportsAPatternTooComplexForItsBound) {
  FileSpecFilter filter;
  std::string error;
  filter.SetErrorSink(&error, nullptr);
  filter.SetStepLimit(10'000);
  filter.SetSpecs("^{a}?(aa*)+\\0b$", "", true);
  EXPECT_FALSE(filter.Passes(std::string(40, 'a'), false));
  EXPECT_EQ(error, "Error on regex ^{a}?(aa*)+\\0b$:Pattern too complex");
  error.clear();
  EXPECT_TRUE(filter.Passes("aab", false));
  EXPECT_EQ(error, "");
}

// The entries a plain listing reports that pass `keep`, in the listing's order.
std::vector<std::string> Listed(const std::string& folder, bool (*keep)(const FileInfo&)) {
  std::vector<FileInfo> entries;
  EXPECT_TRUE(ListFolder(folder, "*.*", entries));
  std::vector<std::string> names;
  for (const FileInfo& e : entries)
    if (keep(e)) names.push_back(e.name);
  return names;
}

// Runs the usual finder loop and checks the result of every call against the contract.
std::vector<std::string> Found(CFileSpecFind& find, const std::string& path, const std::string& include,
                               const std::string& exclude, bool regex, std::string* error = nullptr) {
  std::vector<std::string> names;
  bool more = find.FindFile(path, include, exclude, regex, error);
  EXPECT_EQ(find.GetFileName(), "");  // nothing current before the first FindNextFile
  while (more) {
    more = find.FindNextFile();
    names.push_back(find.GetFileName());
    const std::string& full = find.GetFilePath();
    EXPECT_EQ(full.substr(full.rfind('/') + 1), find.GetFileName());
    EXPECT_EQ(full.find("//"), std::string::npos);
  }
  EXPECT_FALSE(find.FindNextFile());
  return names;
}

TEST(AFileSpecFind, reportsPassingEntriesAndDirectoriesInListingOrder) {
  test::TempDir dir;
  for (const char* n : {"a.jpg", "b.JPEG", "c.jpg.bak", "d.txt", "e.jpg"}) test::WriteFile(dir / n, "x");
  mkdir((dir / "sub.jpg.d").c_str(), 0755);
  CFileSpecFind find;
  auto expected = Listed(dir.Path(), [](const FileInfo& e) {
    return e.directory || e.name == "a.jpg" || e.name == "b.JPEG" || e.name == "e.jpg";
  });
  EXPECT_EQ(Found(find, dir.Path(), "*.jpg|*.jpeg", "", false), expected);
  EXPECT_TRUE(find.FilterActive());
  EXPECT_EQ(Found(find, dir.Path() + "/", "*.jpg|*.jpeg", "", false), expected);
  ASSERT_GE(expected.size(), 2u);
  EXPECT_EQ(expected[0], ".");
  EXPECT_EQ(expected[1], "..");
}

TEST(AFileSpecFind, saysWhetherAFurtherEntryFollowsAndKeepsTheLastOneReadable) {
  test::TempDir dir;
  test::WriteFile(dir / "only.jpg", "12345");
  test::WriteFile(dir / "other.png", "x");
  CFileSpecFind find;
  ASSERT_TRUE(find.FindFile(dir / "*.jpg"));  // no specifications: the path is the mask
  EXPECT_FALSE(find.FilterActive());
  EXPECT_FALSE(find.FindNextFile());
  EXPECT_EQ(find.GetFileName(), "only.jpg");
  EXPECT_EQ(find.GetFilePath(), dir / "only.jpg");
  EXPECT_EQ(find.GetLength(), 5u);
  EXPECT_FALSE(find.IsDirectory());
  EXPECT_FALSE(find.FindFile(dir / "*.gif"));
}

TEST(AFileSpecFind, usesThePathAsMaskWhenItIsNoFolderOrNothingIsSpecified) {
  test::TempDir dir;
  test::WriteFile(dir / "a.jpg", "x");
  test::WriteFile(dir / "b.png", "x");
  CFileSpecFind find;
  // Not a folder: the specifications are ignored and the finder's mask decides.
  EXPECT_EQ(Found(find, dir.Path() + "/*.PNG", "*.jpg", "", false), std::vector<std::string>{"b.png"});
  // A folder and no specifications: the folder itself is found, as the platform finder does.
  std::string parent = dir.Path().substr(0, dir.Path().rfind('/'));
  std::string leaf = dir.Path().substr(parent.size() + 1);
  ASSERT_TRUE(find.FindFile(dir.Path()));
  EXPECT_FALSE(find.FindNextFile());
  EXPECT_EQ(find.GetFileName(), leaf);
  EXPECT_TRUE(find.IsDirectory());
  EXPECT_FALSE(find.FindFile(dir.Path() + "/"));  // "folder/" names no entry
  EXPECT_FALSE(find.FindFile(""));
  EXPECT_FALSE(find.FindFile(dir / "missing", "*.jpg", "", false));
  EXPECT_FALSE(find.FindFile(dir / "missing/*.jpg"));
  EXPECT_EQ(find.ListError(), ENOENT);
}

TEST(AFileSpecFind, filtersThousandsOfEntriesAndReportsErrorsOncePerFile) {
  test::TempDir dir(MemoryFolder());
  const int kFiles = 3000;
  for (int i = 0; i < kFiles; ++i) {
    char name[64];
    std::snprintf(name, sizeof name,
                  i % 3 == 0   ? "IMG_%04d.JPG"
                  : i % 3 == 1 ? "img_%04d.png"
                               : "Ünïcode_%d.jpg",
                  i);
    test::WriteFile(dir / name, "");
  }
  for (int i = 0; i < 5; ++i) mkdir((dir / ("dir" + std::to_string(i))).c_str(), 0755);
  CFileSpecFind find;
  auto names = Found(find, dir.Path(), "*.jpg", "\xc3\x9c*", false);
  auto expected =
      Listed(dir.Path(), [](const FileInfo& e) { return e.directory || (e.name.rfind("IMG_", 0) == 0); });
  EXPECT_EQ(names.size(), 2u + 5u + kFiles / 3);
  EXPECT_EQ(names, expected);

  int messages = 0;
  find.SetMessageCallback([&](const std::string& m) {
    EXPECT_EQ(m, "Error on regex ^img_(\\d+\\.jpg$:Paren expected");
    ++messages;
  });
  names = Found(find, dir.Path(), "^img_(\\d+\\.jpg$", "", true);
  EXPECT_EQ(names.size(), 7u);  // only the directories pass
  EXPECT_EQ(messages, kFiles);
}

TEST(AFilespecTest, splitsTheFolderIntoIncludedAndExcludedNames) {
  test::TempDir dir;
  for (const char* n : {"a.jpg", "b.png", "c.txt", "noext", "bb.jpg"}) test::WriteFile(dir / n, "x");
  mkdir((dir / "sub.jpg").c_str(), 0755);
  FilespecTestResult r = TestFilespec(dir.Path(), "*.jpg|*.png", "b*", false);
  EXPECT_EQ(r.error, "");
  auto files = Listed(dir.Path(), [](const FileInfo& e) { return !e.directory; });
  std::vector<std::string> included, excluded;
  std::string includedText, excludedText;
  for (const std::string& n : files) {
    if (n == "a.jpg") {
      included.push_back(n);
      includedText += n + "\r\n";
    } else if (n != "noext") {  // the first pass uses "*.*", which needs a dot
      excluded.push_back(n);
      excludedText += n + "\r\n";
    }
  }
  EXPECT_EQ(r.included, included);
  EXPECT_EQ(r.excluded, excluded);
  EXPECT_EQ(r.IncludedText(), includedText);
  EXPECT_EQ(r.ExcludedText(), excludedText);
}

TEST(AFilespecTest, showsThePatternErrorInsteadOfResults) {
  test::TempDir dir;
  test::WriteFile(dir / "a.jpg", "x");
  FilespecTestResult r = TestFilespec(dir.Path(), "(jpg", "", true);
  EXPECT_EQ(r.error, "Error on regex (jpg:Paren expected");
  EXPECT_EQ(r.IncludedText(), "Error on regex (jpg:Paren expected");
  EXPECT_EQ(r.ExcludedText(), "");
  EXPECT_TRUE(r.included.empty());
  EXPECT_TRUE(r.excluded.empty());
  // With no files nothing is ever compiled, so there is no error to show.
  test::TempDir empty;
  r = TestFilespec(empty.Path(), "(jpg", "", true);
  EXPECT_EQ(r.error, "");
}

}  // namespace
