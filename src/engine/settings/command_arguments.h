#pragma once
// Splitting an argument text into words the way a POSIX shell does, without any expansion:
// blanks separate words, '...' keeps everything literally, "..." keeps everything but \" \\ \$
// \` escapes, a backslash outside quotes takes the next character literally. An unterminated
// quote runs to the end of the text. Nothing is ever run or substituted.
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

std::vector<std::string> SplitCommandArguments(std::string_view text);

}  // namespace brisko
