#pragma once
#include <string>

namespace brisko {

// Splits the command line into words (no shell, no expansion), starts it and waits for it.
// True when it ran and exited with status 0.
bool RunCommandAndWait(const std::string& commandLine);

}  // namespace brisko
