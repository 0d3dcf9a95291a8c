#include "print/printer_reasons.h"

#include <algorithm>
#include <array>

namespace brisko {
namespace {

struct Known {
  std::string_view keyword;
  std::string_view text;
  bool blocks;
};

// Paper and ink problems block whatever severity a printer gives them: a printer that only
// "reports" an empty tray still holds the job, and the queue would fill behind it.
constexpr std::array kKnown = {
    Known{"media-empty", "paper out", true},
    Known{"media-needed", "paper needed", true},
    Known{"media-jam", "paper jam", true},
    Known{"input-tray-missing", "paper tray missing", true},
    Known{"marker-supply-empty", "out of ink/ribbon", true},
    Known{"toner-empty", "out of ink/ribbon", true},
    Known{"marker-waste-full", "waste container full", true},
    Known{"door-open", "door open", true},
    Known{"cover-open", "cover open", true},
    Known{"interlock-open", "door open", true},
    Known{"output-area-full", "output tray full", true},
    Known{"offline", "offline", true},
    Known{"shutdown", "switched off", true},
    Known{"paused", "stopped queue", true},
    Known{"spool-area-full", "printer memory full", true},
    Known{"media-low", "paper low", false},
    Known{"marker-supply-low", "ink/ribbon low", false},
    Known{"toner-low", "ink/ribbon low", false},
    Known{"marker-waste-almost-full", "waste container almost full", false},
    Known{"connecting-to-device", "connecting", false},
};

}  // namespace

std::string_view ReasonKeyword(std::string_view reason) {
  for (std::string_view suffix : {"-error", "-warning", "-report"}) {
    if (reason.size() > suffix.size() && reason.substr(reason.size() - suffix.size()) == suffix) {
      return reason.substr(0, reason.size() - suffix.size());
    }
  }
  return reason;
}

std::vector<PrinterProblem> DescribeReasons(const std::vector<std::string>& reasons) {
  std::vector<PrinterProblem> out;
  for (const Known& k : kKnown) {
    const bool present = std::any_of(reasons.begin(), reasons.end(),
                                     [&](const std::string& r) { return ReasonKeyword(r) == k.keyword; });
    if (!present) continue;
    const std::string text = std::string(k.text) + " (" + std::string(k.keyword) + ")";
    // Two keywords with one meaning (toner-empty, marker-supply-empty) show once.
    if (std::any_of(out.begin(), out.end(),
                    [&](const PrinterProblem& p) { return p.text.compare(0, k.text.size(), k.text) == 0; })) {
      continue;
    }
    out.push_back(PrinterProblem{std::string(k.keyword), text, k.blocks});
  }
  return out;
}

}  // namespace brisko
