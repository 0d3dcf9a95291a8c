#pragma once
// Failures in the operator's words: what the window and the status page show of a log line, and
// what to check for a photo that keeps failing. The log file keeps the lines as written.
#include <string>
#include <string_view>

#include "app/failure_log.h"

namespace brisko {

// The line without the names of internal steps ("Failed (CopyOrMoveFilesUsingShell): " reads
// "Failed: ").
std::string PlainLogText(std::string_view line);
// A line that explains the line before it ("  Reason: ..."): in a newest-first view it stands
// below that line.
bool IsFollowUpLine(std::string_view line);
// What the operator should check, looking at the folder the reason names where that tells more:
// "The folder /srv/out/afile/sub cannot be made: afile is a file". The reason itself when
// nothing better is known.
std::string FailureAdvice(const FailingItem& item);

}  // namespace brisko
