#pragma once
// The station's own small regular-expression language, used for file specifications.
//
// Operators have written patterns in this language for years, so acceptance, error codes and
// matching follow it exactly (see regexp.cpp for the grammar). Matching is a backtracking VM with
// one explicit stack and a bound on its work, so no pattern and no name can hang the station.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brisko {

enum RegExpError : int {
  kRegExpOk = 0,
  kRegExpOutOfMemory = 1,
  kRegExpBraceExpected = 2,
  kRegExpParenExpected = 3,
  kRegExpBracketExpected = 4,
  kRegExpUnexpected = 5,
  kRegExpEmptyRange = 6,
  kRegExpInvalidGroup = 7,
  kRegExpInvalidRange = 8,
  kRegExpInvalidRepeat = 9,
  kRegExpInvalidInput = 10,
};

// Text reported when a match gave up at the work bound (not a parse error code).
inline constexpr const char* kRegExpTooComplexText = "Pattern too complex";

class CRegExp {
 public:
  // Work bound of one Match: instructions executed plus backtracking pops over all start
  // positions. Ordinary patterns on names of a few hundred bytes stay far below it.
  static constexpr uint64_t kDefaultStepLimit = 20'000'000;
  // Backtracking frames kept at once (memory bound, 16 bytes each).
  static constexpr size_t kMaxStackFrames = 1u << 20;

  // Compiles `pattern`; returns 0 or an error code. Discards the previous program.
  // nullptr gives kRegExpInvalidInput. The pattern is read up to its first NUL byte.
  int Parse(const char* pattern, bool caseSensitive = true);
  int Parse(const std::string& pattern, bool caseSensitive = true) {
    return Parse(pattern.c_str(), caseSensitive);
  }

  // True when the compiled pattern matches somewhere in `text`. False without a compiled
  // pattern, for nullptr, and when the work bound was reached (then WorkLimitHit() is true).
  bool Match(const char* text);
  bool Match(const std::string& text) { return Match(text.data(), text.size()); }
  bool Match(const char* text, size_t length);

  bool WorkLimitHit() const { return m_limitHit; }
  int LastError() const { return m_lastError; }
  void SetStepLimit(uint64_t limit) { m_stepLimit = limit; }
  // Remembering failed states never changes a result; switching it off lets tests prove that.
  void SetMemoEnabled(bool on) { m_memoEnabled = on; }

  static const char* GetErrorText(int code);

  // Instruction of the compiled program; public only for the compiler in regexp.cpp.
  struct Inst {
    uint8_t op;
    int32_t x;
    int32_t y;
  };
  struct Frame {
    int32_t kind;
    int32_t a;
    int32_t b;
    int32_t c;
  };

 private:
  friend class RegExpCompiler;
  bool Run(const unsigned char* text, int32_t length, int32_t start, uint64_t& steps);

  std::vector<Inst> m_prog;
  std::vector<std::array<uint64_t, 4>> m_classes;
  int m_groups = 0;
  int m_lastError = kRegExpInvalidInput;
  bool m_compiled = false;
  bool m_caseSensitive = true;
  bool m_anchored = false;
  bool m_limitHit = false;
  bool m_memo = false;
  bool m_memoEnabled = true;
  int32_t m_memoStride = 0;
  std::vector<uint64_t> m_visited;
  uint64_t m_stepLimit = kDefaultStepLimit;
  // Reused between calls so that compiling and matching once per name allocates nothing.
  std::string m_patternBuf;
  std::string m_textBuf;
  std::vector<Frame> m_stack;
  std::vector<int32_t> m_open, m_capStart, m_capEnd;
};

}  // namespace brisko
