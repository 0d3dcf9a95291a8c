#pragma once
// libcups is opened on its first call, not at every start of the program.
#include "support/shared_library.h"

namespace brisko {

SharedLibrary& CupsLibrary();

}  // namespace brisko
