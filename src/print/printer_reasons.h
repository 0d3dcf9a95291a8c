#pragma once
// printer-state-reasons as the operator reads them: "paper out (media-empty)".
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

struct PrinterProblem {
  std::string keyword;  // without its -error/-warning/-report suffix
  std::string text;     // "paper out (media-empty)"
  bool blocks = false;  // nothing new should be sent while it lasts
  bool operator==(const PrinterProblem&) const = default;
};

// The keyword without the severity suffix IPP allows.
std::string_view ReasonKeyword(std::string_view reason);

// Known reasons in a fixed order, each keyword once; "none" and unknown vendor reasons that
// say nothing to an operator (CUPS' own bookkeeping) are left out.
std::vector<PrinterProblem> DescribeReasons(const std::vector<std::string>& reasons);

}  // namespace brisko
