#pragma once
// Tables of cases: a row that cannot run on this machine (no root for a mount, a missing tool)
// is skipped and the table goes on. GTEST_SKIP inside the loop would end the whole test.
#include <cstdio>
#include <string>

namespace brisko::test {

class RowSkips {
 public:
  // Notes the skipped row; the caller then `continue`s.
  void Skip(const std::string& row, const std::string& why) {
    std::printf("[  SKIPPED ] row \"%s\": %s\n", row.c_str(), why.c_str());
    ++m_skipped;
    m_why = why;
  }
  void Ran() { ++m_ran; }
  // After the loop: `if (skips.NoneRan()) GTEST_SKIP() << skips.Why();`
  bool NoneRan() const { return m_ran == 0 && m_skipped > 0; }
  const std::string& Why() const { return m_why; }

 private:
  int m_ran = 0, m_skipped = 0;
  std::string m_why;
};

}  // namespace brisko::test
