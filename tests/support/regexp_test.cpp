#include "support/regexp.h"

#include <gtest/gtest.h>

#include <string>

using namespace brisko;

namespace {

struct MatchCase {
  const char* pattern;
  bool caseSensitive;
  std::string text;
  bool expected;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c) {
  return os << "pattern «" << c.pattern << "» " << (c.caseSensitive ? "cs" : "ci") << " text «" << c.text
            << "»";
}

class ARegExpMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ARegExpMatch, decidesLikeTheStoredPatternsExpect) {
  const MatchCase& c = GetParam();
  CRegExp re;
  ASSERT_EQ(re.Parse(c.pattern, c.caseSensitive), kRegExpOk);
  EXPECT_EQ(re.Match(c.text), c.expected);
  EXPECT_FALSE(re.WorkLimitHit());
  re.SetMemoEnabled(false);
  EXPECT_EQ(re.Match(c.text), c.expected) << "without remembered states";
}

const MatchCase kAnchorsAndStarts[] = {
    {"", true, "", true},
    {"", true, "abc", true},
    {"$", true, "", true},
    {"$", true, "a", false},
    {"^$", true, "x", false},
    {"^", true, "xyz", true},
    {"abc", true, "xxabcxx", true},
    {"abc", true, "xxabxc", false},
    {"^abc", true, "abcx", true},
    {"^abc", true, "xabc", false},
    {"abc$", true, "xabc", true},
    {"abc$", true, "abcx", false},
    {"a^b", true, "a^b", true},  // "^" only anchors as the first character
    {"^^a", true, "^a", true},
    {"^^a", true, "a", false},
    {"a$b", true, "a$b", true},  // "$" only anchors as the last character
    {"a$$", true, "xa$", true},
    {"a$$", true, "a$x", false},
    // Start positions stop at the last character, so an empty match at the very end is not tried.
    {"a?$", true, "bc", false},
    {"c?$", true, "bc", true},
    {"a?$", true, "", true},
    // At top level whatever follows an unmatched closing character is ignored.
    {"a)b", true, "a", true},
    {"a]zz", true, "a", true},
    {"a}zz", true, "xa", true},
};
INSTANTIATE_TEST_SUITE_P(AnchorsAndStarts, ARegExpMatch, ::testing::ValuesIn(kAnchorsAndStarts));

const MatchCase kQuantifiersAndAlternation[] = {
    {"^ba*c$", true, "bc", true},
    {"^ba*c$", true, "baaac", true},
    {"^ba*?c$", true, "bc", true},
    {"^ba*?c$", true, "baac", true},
    {"^ba+c$", true, "bc", false},
    {"^ba+c$", true, "baac", true},
    {"^ba+?c$", true, "bc", false},
    {"^ba+?c$", true, "bac", true},
    {"^ba?c$", true, "bc", true},
    {"^ba?c$", true, "bac", true},
    {"^ba?c$", true, "baac", false},
    {"^ba??c$", true, "bc", true},
    {"^ba??c$", true, "bac", true},
    // A quantifier where an atom is expected is an ordinary character.
    {"^a**$", true, "aa*", true},
    {"^a**$", true, "aa", false},
    {"^*a", true, "*a", true},
    {"^*a", true, "a", false},
    {"^+$", true, "+", true},
    {"^a???$", true, "a?", true},  // "a??" then a literal "?"
    {"^a*??$", true, "aa?", true},
    // Alternation binds only the atoms beside it.
    {"ab|cd", true, "abd", true},
    {"ab|cd", true, "acd", true},
    {"ab|cd", true, "ab", false},
    {"ab|cd", true, "abcd", false},
    {"^a|b|c$", true, "b", true},
    {"^a|b|c$", true, "d", false},
    {"^x(a|bc)y$", true, "xbcy", true},
    {"^x(a|bc)y$", true, "xacy", true},  // x, (a|b), c, y
    {"^x(a|bc)y$", true, "xay", false},
    {"^a*|b$", true, "aaa", true},
    {"^a*|b$", true, "b", true},
    {"^{a|b}+c$", true, "abac", true},
    {"^{a|b}+c$", true, "abxc", false},
    {"^|a$", true, "|a", true},  // "|" where an atom is expected is literal
    // An alternative without its atom drops the unit: "a|" compiles like the empty pattern.
    {"a|", true, "zzz", true},
    {"xa|", true, "x", true},
    {"^x(a|)$", true, "x", true},
    {"^x(a|)$", true, "xa", false},
    {"a!", true, "a", true},
    {"^(a|b)*$", true, "abba", true},
    {"^(a|b)*$", true, "abca", false},
};
INSTANTIATE_TEST_SUITE_P(QuantifiersAndAlternation, ARegExpMatch,
                         ::testing::ValuesIn(kQuantifiersAndAlternation));

const MatchCase kAtoms[] = {
    {".", true, "", false},
    {".", true, "a", true},
    {"a.c", true, "abc", true},
    {"a.c", true, "ac", false},
    {"!a.", true, "a", false},
    {"!a.", true, "b", true},
    {"!a.", true, "ab", true},
    {"^!a", true, "", true},
    {"^!!a.", true, "ab", true},
    {"^!!a.", true, "b", false},
    {"^!(ab)..$", true, "ab", false},
    {"^!(ab)..$", true, "ac", true},
    {"^!a?b", true, "b", true},  // "!" applies to the atom only; "?" then quantifies "!a"
    // Groups and back references.
    {"^{a+}-\\0$", true, "aa-aa", true},
    {"^{a+}-\\0$", true, "aa-a", false},
    {"{.}\\0", true, "abcc", true},
    {"{.}\\0", true, "abc", false},
    {"^{x}?y\\0$", true, "y", true},  // a group that captured nothing stands for ""
    {"^{x}?y\\0$", true, "xyx", true},
    {"^{x}?y\\0$", true, "xy", false},
    {"^{a\\0}$", true, "a", true},
    {"^{}a$", true, "a", true},
    {"^{a}{b}{c}{d}{e}{f}{g}{h}{i}{j}{k}\\10$", true, "abcdefghijkk", true},
    {"^{a}{b}{c}{d}{e}{f}{g}{h}{i}{j}{k}\\10$", true, "abcdefghijka0", false},
    {"^{a}{b}\\1\\0$", true, "abba", true},
    // Captures of a failed branch are undone on backtracking, also inside "!".
    {"^(({a}b)|(.c))\\0$", true, "ac", true},
    {"^(({a}b)|(.c))\\0$", true, "aca", false},
    {"^!{a}.\\0$", true, "b", true},
    {"^!{a}.\\0$", true, "bb", false},
    {"^{(ab)|a}+\\0$", true, "abaa", true},
    {"^{(ab)|a}+\\0$", true, "abab", true},
    {"^{(ab)|a}+\\0$", true, "abaab", false},
    // Escapes outside classes.
    {"a\\.b", true, "a.b", true},
    {"a\\.b", true, "axb", false},
    {"\\\\", true, "a\\b", true},
    {"^\\t$", true, "t", true},
    {"^\\t$", true, "\t", false},
    {"^\\($", true, "(", true},
    {"^\\D$", true, "D", true},
    {"^\\D$", true, "5", false},
    {"^\\D$", false, "5", true},  // read after lower-casing: "\d"
    // A pattern ending in a lone backslash stands for a backslash.
    {"abc\\", true, "abc\\", true},
    {"abc\\", true, "abc", false},
    {"\\", true, "\\", true},
    // Classes.
    {"^[abc]$", true, "b", true},
    {"^[abc]$", true, "d", false},
    {"^[a-c]+$", true, "abcab", true},
    {"^[^a-c]$", true, "d", true},
    {"^[^a-c]$", true, "b", false},
    {"^[\\]]$", true, "]", true},
    {"^[a\\-z]$", true, "-", true},
    {"^[a\\-z]$", true, "m", false},
    {"^[-a]$", true, "-", true},
    {"^[--/]$", true, ".", true},
    {"^[\\t]$", true, "\t", true},
    {"^[\\t]$", true, "t", false},
    {"^[\\n]$", true, "n", true},
    {"^[a^]$", true, "^", true},
    {"^[^^]$", true, "^", false},
    {"^[!-\\]$", true, "A", true},  // range end taken as written: "!" to "\"
    {"^[!-\\]$", true, "a", false},
    {"^[\\d]$", true, "d", true},
    {"^[\\d]$", true, "5", false},
    // Bytes compare unsigned; only ASCII letters fold.
    {"^[\x80-\xff]+$", true, "\xc3\xa9", true},
    {"^[^\x80-\xff]$", true, "\xc3", false},
    {"^[a-\xff]$", true, "\xfe", true},
    {"^\xc3\xa9t\xc3\xa9$", false, "\xc3\xa9T\xc3\xa9", true},
    {"^\xc3\x89$", false, "\xc3\xa9", false},
    {"^..$", true, "\xc3\xa9", true},
    // Case folding: pattern and text are lower-cased.
    {"ABC", false, "xAbCx", true},
    {"abc", true, "ABC", false},
    {"^[A-Z]+$", false, "QrS", true},
    {"^[0-Z]$", false, "_", true},  // "[0-z]" after lower-casing
    {"^[0-Z]$", true, "_", false},
};
INSTANTIATE_TEST_SUITE_P(Atoms, ARegExpMatch, ::testing::ValuesIn(kAtoms));

const MatchCase kAbbreviations[] = {
    {"^\\a$", true, "5", true},         {"^\\a$", true, "Q", true},      {"^\\a$", true, "_", false},
    {"^\\b$", true, " ", true},         {"^\\b$", true, "\t", true},     {"^\\b$", true, "b", false},
    {"^\\c$", true, "x", true},         {"^\\c$", true, "1", false},     {"^\\d$", true, "7", true},
    {"^\\d$", true, "x", false},        {"^\\h$", true, "F", true},      {"^\\h$", true, "g", false},
    {"^a\\nb$", true, "a\r\nb", true},  {"^a\\nb$", true, "a\rb", true}, {"^a\\nb$", true, "a\nb", true},
    {"^a\\nb$", true, "a\n\rb", false}, {"^a\\nb$", true, "anb", false}, {"^\\q$", true, "\"abc\"", true},
    {"^\\q$", true, "'x'", true},       {"^\\q$", true, "\"\"", true},   {"^\\q$", true, "\"abc'", false},
    {"^\\q+$", true, "'a'\"b\"", true}, {"^x\\q$", true, "x'a'", true},  {"^\\w$", true, "abC", true},
    {"^\\w$", true, "ab1", false},      {"^\\z$", true, "0123", true},   {"^\\z$", true, "", false},
    {"^\\d+$", true, "123", true},      {"^\\d+$", true, "12a", false},  {"^\\d*?x$", true, "12x", true},
    {"^\\e$", true, "e", true},  // not in the table: literal
    {"^\\N$", true, "N", true},         {"^\\N$", false, "\n", true},
};
INSTANTIATE_TEST_SUITE_P(Abbreviations, ARegExpMatch, ::testing::ValuesIn(kAbbreviations));

struct ErrorCase {
  const char* pattern;
  bool caseSensitive;
  int code;
};

TEST(ARegExpParse, givesTheStoredErrorCodes) {
  const ErrorCase cases[] = {
      {"[]", true, kRegExpEmptyRange},
      {"[^]", true, kRegExpEmptyRange},
      {"[z-a]", true, kRegExpInvalidRange},
      {"[a-\\]", true, kRegExpInvalidRange},
      {"[Z-a]", true, kRegExpOk},
      {"[Z-a]", false, kRegExpInvalidRange},  // lower-cased first: "[z-a]"
      {"[a-", true, kRegExpBracketExpected},
      {"[a-]", true, kRegExpBracketExpected},
      {"[a", true, kRegExpBracketExpected},
      {"[", true, kRegExpBracketExpected},
      {"[^", true, kRegExpBracketExpected},
      {"[a\\", true, kRegExpBracketExpected},
      {"{a", true, kRegExpBraceExpected},
      {"{a)", true, kRegExpBraceExpected},
      {"{a|}", true, kRegExpOk},
      {"(a", true, kRegExpParenExpected},
      {"(a}", true, kRegExpParenExpected},
      {"(!", true, kRegExpParenExpected},
      {"\\0", true, kRegExpInvalidGroup},
      {"\\1", true, kRegExpInvalidGroup},
      {"{a}\\1", true, kRegExpInvalidGroup},
      {"{a}\\0", true, kRegExpOk},
      {"(a)\\0", true, kRegExpInvalidGroup},
      {"{a}\\99999999999999999999999", true, kRegExpInvalidGroup},
      {"(a*)*", true, kRegExpInvalidRepeat},
      {"(a?)*?", true, kRegExpInvalidRepeat},
      {"(a|b*)+?", true, kRegExpInvalidRepeat},
      {"{}*", true, kRegExpInvalidRepeat},
      {"()+", true, kRegExpInvalidRepeat},
      {"(a|)*", true, kRegExpInvalidRepeat},
      {"!a*", true, kRegExpInvalidRepeat},
      {"{a}\\0+", true, kRegExpInvalidRepeat},
      {"(a*)?", true, kRegExpOk},
      {"!a?", true, kRegExpOk},
      {"(ab*)*", true, kRegExpOk},
      {"\\q*", true, kRegExpOk},
      {"\\d*", true, kRegExpOk},
      {"a)(", true, kRegExpOk},  // ignored after the unmatched ")"
  };
  for (const ErrorCase& c : cases) {
    CRegExp re;
    EXPECT_EQ(re.Parse(c.pattern, c.caseSensitive), c.code) << c.pattern;
    EXPECT_EQ(re.LastError(), c.code) << c.pattern;
    if (c.code != kRegExpOk) {
      EXPECT_FALSE(re.Match("a")) << c.pattern;
    }
  }
}

TEST(ARegExpParse, refusesAMissingPatternAndAbsurdNesting) {
  CRegExp re;
  EXPECT_EQ(re.Parse(nullptr), kRegExpInvalidInput);
  EXPECT_EQ(re.Parse(std::string(5000, '(') + "a" + std::string(5000, ')')), kRegExpOutOfMemory);
  EXPECT_EQ(re.Parse(std::string(5000, '!') + "a"), kRegExpOutOfMemory);
  EXPECT_EQ(re.Parse(std::string(100, '{') + "a" + std::string(100, '}') + "\\99"), kRegExpOk);
  EXPECT_TRUE(re.Match("aa"));
}

TEST(ARegExpParse, readsThePatternUpToItsFirstNul) {
  CRegExp re;
  ASSERT_EQ(re.Parse(std::string("^a\0b", 4)), kRegExpOk);
  EXPECT_TRUE(re.Match("ax"));
}

TEST(ARegExpParse, replacesThePreviousProgram) {
  CRegExp re;
  EXPECT_FALSE(re.Match("a"));  // nothing compiled yet
  ASSERT_EQ(re.Parse("^a$"), kRegExpOk);
  EXPECT_TRUE(re.Match("a"));
  ASSERT_EQ(re.Parse("^{b}\\0$"), kRegExpOk);
  EXPECT_FALSE(re.Match("a"));
  EXPECT_TRUE(re.Match("bb"));
  EXPECT_EQ(re.Parse("[b"), kRegExpBracketExpected);
  EXPECT_FALSE(re.Match("bb"));
  EXPECT_FALSE(re.Match(nullptr));
}

TEST(ARegExpMatchBound, givesUpOnExponentialBacktrackingAndRemembersFailedStatesWhereItCan) {
  CRegExp re;
  re.SetStepLimit(100'000);
  // The back reference rules out remembering failed states, so this explodes.
  ASSERT_EQ(re.Parse("^{a}?(a|a)+\\0b$"), kRegExpOk);
  EXPECT_FALSE(re.Match(std::string(40, 'a')));
  EXPECT_TRUE(re.WorkLimitHit());
  EXPECT_TRUE(re.Match("aab"));
  EXPECT_FALSE(re.WorkLimitHit());
  // Without back references it stays quick.
  ASSERT_EQ(re.Parse("^(a|a)+b$"), kRegExpOk);
  EXPECT_FALSE(re.Match(std::string(40, 'a')));
  EXPECT_FALSE(re.WorkLimitHit());
  // States inside "!" are not remembered: the same body is tried again from another start.
  ASSERT_EQ(re.Parse("^a?!(a*b)"), kRegExpOk);
  EXPECT_FALSE(re.Match("aab"));
  EXPECT_TRUE(re.Match("aac"));
}

TEST(ARegExpMatchBound, keepsItsStackBoundedOnHugeTexts) {
  CRegExp re;
  ASSERT_EQ(re.Parse("^a*b"), kRegExpOk);
  EXPECT_FALSE(re.Match(std::string(3'000'000, 'a')));
  EXPECT_TRUE(re.WorkLimitHit());
}

TEST(ARegExpMatchBound, isNeverReachedByOrdinaryPatternsOnLongNames) {
  const char* patterns[] = {
      "^.*?_.*?_.*?\\.jpg$",  "^img_\\d+\\.jpg$", "^.*?\\.jpe?g$", "^([a-z]+_)*\\d+\\.(jpg|png)$", "\\q",
      "^.*?(19|20)\\d\\d.*?$"};
  const std::string names[] = {std::string(300, '_') + ".jpeg", "img_" + std::string(300, '1') + ".jpx",
                               std::string(150, 'a') + std::string(150, '_') + "x.jpg",
                               "'" + std::string(300, 'x')};
  CRegExp re;
  for (const char* p : patterns) {
    ASSERT_EQ(re.Parse(p, false), kRegExpOk) << p;
    for (const std::string& n : names) {
      re.Match(n);
      EXPECT_FALSE(re.WorkLimitHit()) << p << " on " << n.size() << " bytes";
    }
  }
}

}  // namespace
