#include "support/regexp.h"

#include <cstring>
#include <new>
#include <stdexcept>

// Pattern language (read left to right, after lower-casing when case-insensitive):
//   pattern  := ['^'] sequence            '^' anchors only as the very first character
//   sequence := unit*                     ends at the end, at ')' ']' '}', or at an incomplete unit;
//                                         at top level whatever follows is ignored
//   unit     := qatom ('|' qatom)*        alternation binds single quantified atoms
//   qatom    := atom [* *? + +? ? ??]     * and + on an atom that can match empty: error 9
//   atom     := '{' sequence '}'          numbered match group
//             | '(' sequence ')'          plain group
//             | '[' ['^'] items ']'       class
//             | '!' atom                  succeeds without consuming when the atom fails here
//             | '\' digits | '\' abbreviation letter | '\' char
//             | '.' | '$' (only as the very last character: end of text) | any other char
// A unit whose atom is missing ("a|", "x!") is dropped and ends its sequence, as stored patterns
// have always behaved ("a|" compiles like the empty pattern).

namespace brisko {
namespace {

enum Op : uint8_t {
  kChar,
  kAny,
  kClass,
  kEol,
  kSplit,        // go to x, retry at y on backtracking
  kSplitNoMemo,  // the same where a failed state may not be remembered
  kJmp,
  kOpen,
  kClose,
  kBackref,
  kNotBegin,  // x: continuation after the matching kNotEnd
  kNotEnd,
  kMatch,
};

enum FrameKind : int32_t { kBranch, kRestoreOpen, kRestoreCapture, kNotBarrier };

// Deeper nesting than this is refused as "Out of memory" so that parsing cannot exhaust the
// call stack; real patterns nest a handful of levels.
constexpr int kMaxDepth = 1000;
// Keeps instruction indices far inside int32_t.
constexpr size_t kMaxPatternLength = size_t{1} << 24;

struct Abbrev {
  char letter;
  const char* pattern;
};
// Searched first to last. "\n" holds the raw bytes CR and LF.
constexpr Abbrev kAbbrevs[] = {
    {'a', "([a-zA-Z0-9])"},
    {'b', "([ \\t])"},
    {'c', "([a-zA-Z])"},
    {'d', "([0-9])"},
    {'h', "([0-9a-fA-F])"},
    {'n', "(\r|(\r?\n))"},
    {'q', "(\"[^\"]*\")|('[^']*')"},
    {'w', "([a-zA-Z]+)"},
    {'z', "([0-9]+)"},
};

inline unsigned char Lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

inline bool IsJump(uint8_t op) {
  return op == kSplit || op == kJmp || op == kNotBegin;
}

// Remembering failed (instruction, position) states keeps the search polynomial. It is exact only
// where the outcome from a state depends on nothing else: not with back references, and not
// inside "!" whose body may be entered again for another look-ahead.
constexpr size_t kMaxMemoBits = size_t{1} << 22;

// An abbreviation's sub-pattern compiled once, spliced wherever the abbreviation is used.
struct AbbrevFragment {
  char letter;
  std::vector<CRegExp::Inst> code;
  std::vector<std::array<uint64_t, 4>> classes;
  bool nullable;
};
const std::vector<AbbrevFragment>& AbbrevFragments();

}  // namespace

class RegExpCompiler {
 public:
  RegExpCompiler(CRegExp& re, const char* begin, const char* end)
      : m_re(re), m_prog(re.m_prog), m_p(begin), m_end(end), m_mainEnd(end) {}

  // Compiles an abbreviation's sub-pattern on its own; its code starts at 0.
  static AbbrevFragment CompileAbbrev(const Abbrev& a) {
    CRegExp re;
    RegExpCompiler compiler(re, a.pattern, a.pattern + std::strlen(a.pattern));
    compiler.m_abbrevDepth = 1;
    AbbrevFragment f{a.letter, {}, {}, false};
    compiler.Sequence(f.nullable);
    f.code = re.m_prog;
    f.classes = re.m_classes;
    return f;
  }

  int Compile() {
    if (m_p < m_end && *m_p == '^') {
      m_re.m_anchored = true;
      ++m_p;
    }
    bool nullable = false;
    if (Sequence(nullable) == kError) return m_error;
    Emit(kMatch);
    m_re.m_memo = !m_sawBackref;
    if (!m_sawNot) return kRegExpOk;
    // "!" bodies nest properly; one pass with the ends of the open bodies marks their splits.
    std::vector<int32_t> notEnds;
    for (int32_t i = 0; i < Here(); ++i) {
      while (!notEnds.empty() && notEnds.back() <= i) notEnds.pop_back();
      CRegExp::Inst& in = m_prog[i];
      if (in.op == kSplit && !notEnds.empty()) in.op = kSplitNoMemo;
      if (in.op == kNotBegin) notEnds.push_back(in.x);
    }
    return kRegExpOk;
  }

 private:
  enum Result { kOk, kNone, kError };

  Result Fail(int code) {
    m_error = code;
    return kError;
  }

  [[gnu::always_inline]] int32_t Emit(uint8_t op, int32_t x = 0, int32_t y = 0) {
    m_prog.push_back({op, x, y});
    return static_cast<int32_t>(m_prog.size() - 1);
  }
  int32_t Here() const { return static_cast<int32_t>(m_prog.size()); }

  // Inserts before the fragment that starts at `at` (always the tail of the program); jumps
  // inside that fragment move along with it.
  void Insert(int32_t at, CRegExp::Inst inst) {
    m_prog.insert(m_prog.begin() + at, inst);
    for (size_t i = at + 1; i < m_prog.size(); ++i) {
      CRegExp::Inst& in = m_prog[i];
      if (!IsJump(in.op)) continue;
      if (in.x >= at) ++in.x;
      if (in.op == kSplit && in.y >= at) ++in.y;  // (kSplitNoMemo only appears after compiling)
    }
  }

  Result Sequence(bool& nullable) {
    nullable = true;
    while (true) {
      size_t mark = m_prog.size();
      size_t classMark = m_re.m_classes.size();
      bool unitNullable = false;
      Result r = Unit(unitNullable);
      if (r == kError) return r;
      if (r == kNone) {
        m_prog.resize(mark);
        m_re.m_classes.resize(classMark);
        return kOk;
      }
      nullable = nullable && unitNullable;
    }
  }

  Result Unit(bool& nullable) {
    int32_t altStart = Here();
    Result r = QuantifiedAtom(nullable);
    if (r != kOk) return r;
    size_t jumpBase = m_pendingJumps.size();
    while (m_p < m_end && *m_p == '|') {
      ++m_p;
      int32_t split = altStart;
      Insert(split, {kSplit, split + 1, -1});
      m_pendingJumps.push_back(Emit(kJmp, -1));
      altStart = Here();
      m_prog[split].y = altStart;
      bool altNullable = false;
      r = QuantifiedAtom(altNullable);
      if (r != kOk) {
        m_pendingJumps.resize(jumpBase);
        return r;
      }
      nullable = nullable || altNullable;
    }
    for (size_t i = jumpBase; i < m_pendingJumps.size(); ++i) m_prog[m_pendingJumps[i]].x = Here();
    m_pendingJumps.resize(jumpBase);
    return kOk;
  }

  Result QuantifiedAtom(bool& nullable) {
    int32_t start = Here();
    Result r = Atom(nullable);
    if (r != kOk || m_p >= m_end) return r;
    char q = *m_p;
    if (q != '*' && q != '+' && q != '?') return kOk;
    bool lazy = m_p + 1 < m_end && m_p[1] == '?';
    if (q != '?' && nullable) return Fail(kRegExpInvalidRepeat);
    m_p += lazy ? 2 : 1;
    if (q == '+') {
      int32_t after = Here() + 1;
      Emit(kSplit, lazy ? after : start, lazy ? start : after);
      return kOk;
    }
    Insert(start, {kSplit, 0, 0});
    if (q == '*') Emit(kJmp, start);
    int32_t after = Here();
    m_prog[start].x = lazy ? after : start + 1;
    m_prog[start].y = lazy ? start + 1 : after;
    nullable = true;
    return kOk;
  }

  struct DepthGuard {
    explicit DepthGuard(int& d) : depth(++d) {}
    ~DepthGuard() { --depth; }
    int& depth;
  };

  Result Atom(bool& nullable) {
    if (m_p >= m_end) return kNone;
    nullable = false;
    unsigned char c = static_cast<unsigned char>(*m_p);
    switch (c) {
      case ')':
      case ']':
      case '}':
        return kNone;
      case '{': {
        DepthGuard guard(m_depth);
        if (m_depth > kMaxDepth) return Fail(kRegExpOutOfMemory);
        ++m_p;
        int32_t group = m_re.m_groups++;
        Emit(kOpen, group);
        if (Sequence(nullable) == kError) return kError;
        if (m_p >= m_end || *m_p != '}') return Fail(kRegExpBraceExpected);
        ++m_p;
        Emit(kClose, group);
        return kOk;
      }
      case '(': {
        DepthGuard guard(m_depth);
        if (m_depth > kMaxDepth) return Fail(kRegExpOutOfMemory);
        ++m_p;
        if (Sequence(nullable) == kError) return kError;
        if (m_p >= m_end || *m_p != ')') return Fail(kRegExpParenExpected);
        ++m_p;
        return kOk;
      }
      case '[':
        ++m_p;
        return Class();
      case '!': {
        DepthGuard guard(m_depth);
        if (m_depth > kMaxDepth) return Fail(kRegExpOutOfMemory);
        ++m_p;
        int32_t begin = Emit(kNotBegin, -1);
        m_sawNot = true;
        bool inner = false;
        Result r = Atom(inner);
        if (r != kOk) return r;
        Emit(kNotEnd);
        m_prog[begin].x = Here();
        nullable = true;
        return kOk;
      }
      case '\\':
        ++m_p;
        return Escape(nullable);
      case '.':
        ++m_p;
        Emit(kAny);
        return kOk;
      case '$':
        ++m_p;
        if (m_abbrevDepth == 0 && m_p == m_mainEnd) {
          Emit(kEol);
          nullable = true;
        } else {
          Emit(kChar, '$');
        }
        return kOk;
      default:
        ++m_p;
        Emit(kChar, c);
        return kOk;
    }
  }

  Result Escape(bool& nullable) {
    if (m_p >= m_end) {
      // A pattern ending in a lone backslash stands for a backslash.
      Emit(kChar, '\\');
      return kOk;
    }
    unsigned char c = static_cast<unsigned char>(*m_p);
    if (c >= '0' && c <= '9') {
      int64_t n = 0;
      while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
        if (n < 1'000'000'000) n = n * 10 + (*m_p - '0');
        ++m_p;
      }
      if (n >= m_re.m_groups) return Fail(kRegExpInvalidGroup);
      Emit(kBackref, static_cast<int32_t>(n));
      m_sawBackref = true;
      nullable = true;  // the group may have captured nothing
      return kOk;
    }
    for (const AbbrevFragment& f : AbbrevFragments()) {
      if (f.letter != static_cast<char>(c)) continue;
      ++m_p;
      // Splice the sub-pattern's precompiled code; jumps and class numbers move with it.
      int32_t base = Here();
      int32_t classBase = static_cast<int32_t>(m_re.m_classes.size());
      for (CRegExp::Inst in : f.code) {
        if (IsJump(in.op)) {
          in.x += base;
          if (in.op == kSplit) in.y += base;
        } else if (in.op == kClass) {
          in.x += classBase;
        }
        m_prog.push_back(in);
      }
      m_re.m_classes.insert(m_re.m_classes.end(), f.classes.begin(), f.classes.end());
      nullable = f.nullable;
      return kOk;
    }
    ++m_p;
    Emit(kChar, c);
    return kOk;
  }

  Result Class() {
    if (m_p < m_end && *m_p == ']') return Fail(kRegExpEmptyRange);
    bool negate = false;
    if (m_p < m_end && *m_p == '^') {
      negate = true;
      ++m_p;
      if (m_p < m_end && *m_p == ']') return Fail(kRegExpEmptyRange);
    }
    std::array<uint64_t, 4> bits{};
    while (m_p < m_end && *m_p != ']') {
      unsigned char lo;
      if (*m_p == '\\') {
        ++m_p;
        if (m_p >= m_end) return Fail(kRegExpBracketExpected);
        lo = *m_p == 't' ? '\t' : static_cast<unsigned char>(*m_p);
      } else {
        lo = static_cast<unsigned char>(*m_p);
      }
      ++m_p;
      unsigned char hi = lo;
      if (m_p < m_end && *m_p == '-') {
        ++m_p;
        if (m_p >= m_end || *m_p == ']') return Fail(kRegExpBracketExpected);
        hi = static_cast<unsigned char>(*m_p++);
        if (hi < lo) return Fail(kRegExpInvalidRange);
      }
      for (unsigned v = lo; v <= hi; ++v) bits[v >> 6] |= uint64_t{1} << (v & 63);
    }
    if (m_p >= m_end) return Fail(kRegExpBracketExpected);
    ++m_p;
    if (negate)
      for (uint64_t& w : bits) w = ~w;
    m_re.m_classes.push_back(bits);
    Emit(kClass, static_cast<int32_t>(m_re.m_classes.size() - 1));
    return kOk;
  }

  CRegExp& m_re;
  std::vector<CRegExp::Inst>& m_prog;
  const char* m_p;
  const char* m_end;
  const char* m_mainEnd;
  int m_depth = 0;
  int m_abbrevDepth = 0;
  bool m_sawBackref = false;
  bool m_sawNot = false;
  int m_error = kRegExpOk;
  std::vector<int32_t> m_pendingJumps;
};

namespace {
const std::vector<AbbrevFragment>& AbbrevFragments() {
  static const std::vector<AbbrevFragment> fragments = [] {
    std::vector<AbbrevFragment> out;
    for (const Abbrev& a : kAbbrevs) out.push_back(RegExpCompiler::CompileAbbrev(a));
    return out;
  }();
  return fragments;
}
}  // namespace

const char* CRegExp::GetErrorText(int code) {
  switch (code) {
    case kRegExpOk:
      return "Worked OK";
    case kRegExpOutOfMemory:
      return "Out of memory";
    case kRegExpBraceExpected:
      return "Brace expected";
    case kRegExpParenExpected:
      return "Paren expected";
    case kRegExpBracketExpected:
      return "Bracket expected";
    case kRegExpUnexpected:
      return "Unexpected syntax";
    case kRegExpEmptyRange:
      return "Empty range";
    case kRegExpInvalidGroup:
      return "Invalid group";
    case kRegExpInvalidRange:
      return "Invalid range";
    case kRegExpInvalidRepeat:
      return "Invalid repeator";
    case kRegExpInvalidInput:
      return "Invalid input";
    default:
      return "Unknown error";
  }
}

int CRegExp::Parse(const char* pattern, bool caseSensitive) {
  m_prog.clear();
  m_classes.clear();
  m_groups = 0;
  m_compiled = false;
  m_anchored = false;
  m_caseSensitive = caseSensitive;
  if (!pattern) return m_lastError = kRegExpInvalidInput;
  try {
    const char* begin = pattern;
    size_t length = std::strlen(pattern);
    if (length > kMaxPatternLength) return m_lastError = kRegExpOutOfMemory;
    if (!caseSensitive) {
      m_patternBuf.assign(pattern, length);
      for (char& ch : m_patternBuf) ch = static_cast<char>(Lower(static_cast<unsigned char>(ch)));
      begin = m_patternBuf.data();
    }
    RegExpCompiler compiler(*this, begin, begin + length);
    m_lastError = compiler.Compile();
  } catch (const std::bad_alloc&) {
    m_lastError = kRegExpOutOfMemory;
  } catch (const std::length_error&) {
    m_lastError = kRegExpOutOfMemory;
  }
  m_compiled = m_lastError == kRegExpOk;
  if (!m_compiled) m_prog.clear();
  return m_lastError;
}

bool CRegExp::Match(const char* text) {
  if (!text) {
    m_limitHit = false;
    return false;
  }
  return Match(text, std::strlen(text));
}

bool CRegExp::Match(const char* text, size_t length) {
  m_limitHit = false;
  if (!m_compiled || !text) return false;
  if (length > static_cast<size_t>(INT32_MAX / 2)) {
    m_limitHit = true;
    return false;
  }
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
  if (!m_caseSensitive) {
    m_textBuf.assign(text, length);
    for (char& ch : m_textBuf) ch = static_cast<char>(Lower(static_cast<unsigned char>(ch)));
    t = reinterpret_cast<const unsigned char*>(m_textBuf.data());
  }
  try {
    m_open.assign(m_groups, -1);
    m_capStart.assign(m_groups, -1);
    m_capEnd.assign(m_groups, -1);
    int32_t n = static_cast<int32_t>(length);
    m_memoStride = 0;
    if (m_memo && m_memoEnabled && m_prog.size() * (length + 1) <= kMaxMemoBits) {
      m_memoStride = n + 1;
      m_visited.assign((m_prog.size() * (length + 1) + 63) / 64, 0);
    }
    int32_t lastStart = m_anchored || n == 0 ? 0 : n - 1;
    // A literal first instruction lets us skip start positions that cannot match.
    int firstChar = m_prog[0].op == kChar ? m_prog[0].x : -1;
    uint64_t steps = 0;
    for (int32_t start = 0; start <= lastStart; ++start) {
      if (firstChar >= 0) {
        if (start >= n) return false;
        const void* hit = std::memchr(t + start, firstChar, lastStart + 1 - start);
        if (!hit) return false;
        start = static_cast<int32_t>(static_cast<const unsigned char*>(hit) - t);
      }
      if (Run(t, n, start, steps)) return true;
      if (m_limitHit) return false;
    }
  } catch (const std::bad_alloc&) {
    m_limitHit = true;
  }
  return false;
}

bool CRegExp::Run(const unsigned char* text, int32_t n, int32_t start, uint64_t& steps) {
  if (m_groups > 0) {
    std::fill(m_open.begin(), m_open.end(), -1);
    std::fill(m_capStart.begin(), m_capStart.end(), -1);
    std::fill(m_capEnd.begin(), m_capEnd.end(), -1);
  }
  m_stack.clear();
  const Inst* prog = m_prog.data();
  int32_t pc = 0;
  int32_t pos = start;
  auto push = [&](int32_t kind, int32_t a, int32_t b, int32_t c) {
    if (m_stack.size() >= kMaxStackFrames) return false;
    m_stack.push_back({kind, a, b, c});
    return true;
  };
  while (true) {
    if (++steps > m_stepLimit) {
      m_limitHit = true;
      return false;
    }
    const Inst& in = prog[pc];
    bool ok = true;
    switch (in.op) {
      case kChar:
        ok = pos < n && text[pos] == in.x;
        ++pos;
        ++pc;
        break;
      case kAny:
        ok = pos < n;
        ++pos;
        ++pc;
        break;
      case kClass: {
        ok = pos < n;
        if (ok) {
          unsigned v = text[pos];
          ok = (m_classes[in.x][v >> 6] >> (v & 63)) & 1;
        }
        ++pos;
        ++pc;
        break;
      }
      case kEol:
        ok = pos == n;
        ++pc;
        break;
      case kSplit:
        if (m_memoStride) {
          size_t bit = static_cast<size_t>(pc) * m_memoStride + pos;
          uint64_t& word = m_visited[bit >> 6];
          uint64_t mask = uint64_t{1} << (bit & 63);
          if (word & mask) {
            ok = false;  // explored before from here and failed
            break;
          }
          word |= mask;
        }
        [[fallthrough]];
      case kSplitNoMemo:
        if (!push(kBranch, in.y, pos, 0)) {
          m_limitHit = true;
          return false;
        }
        pc = in.x;
        break;
      case kJmp:
        pc = in.x;
        break;
      case kOpen:
        if (!push(kRestoreOpen, in.x, m_open[in.x], 0)) {
          m_limitHit = true;
          return false;
        }
        m_open[in.x] = pos;
        ++pc;
        break;
      case kClose:
        if (!push(kRestoreCapture, in.x, m_capStart[in.x], m_capEnd[in.x])) {
          m_limitHit = true;
          return false;
        }
        m_capStart[in.x] = m_open[in.x];
        m_capEnd[in.x] = pos;
        ++pc;
        break;
      case kBackref: {
        int32_t s = m_capStart[in.x];
        int32_t len = s < 0 ? 0 : m_capEnd[in.x] - s;
        ok = len == 0 || (len <= n - pos && std::memcmp(text + s, text + pos, len) == 0);
        pos += len;
        ++pc;
        break;
      }
      case kNotBegin:
        if (!push(kNotBarrier, in.x, pos, 0)) {
          m_limitHit = true;
          return false;
        }
        ++pc;
        break;
      case kNotEnd:
        // The inner atom matched, so the "!" fails: drop its alternatives and undo its captures.
        while (true) {
          Frame f = m_stack.back();
          m_stack.pop_back();
          if (f.kind == kNotBarrier) break;
          if (f.kind == kRestoreOpen) m_open[f.a] = f.b;
          if (f.kind == kRestoreCapture) {
            m_capStart[f.a] = f.b;
            m_capEnd[f.a] = f.c;
          }
        }
        ok = false;
        break;
      case kMatch:
        return true;
    }
    if (ok) continue;
    // Backtrack to the most recent alternative.
    bool resumed = false;
    while (!m_stack.empty()) {
      if (++steps > m_stepLimit) {
        m_limitHit = true;
        return false;
      }
      Frame f = m_stack.back();
      m_stack.pop_back();
      if (f.kind == kBranch || f.kind == kNotBarrier) {
        // A barrier reached this way means the inner atom of "!" could not match: success.
        pc = f.a;
        pos = f.b;
        resumed = true;
        break;
      }
      if (f.kind == kRestoreOpen) {
        m_open[f.a] = f.b;
      } else {
        m_capStart[f.a] = f.b;
        m_capEnd[f.a] = f.c;
      }
    }
    if (!resumed) return false;
  }
}

}  // namespace brisko
