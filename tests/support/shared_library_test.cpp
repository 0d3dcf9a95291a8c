// Libraries opened on their first call.
#include "support/shared_library.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

TEST(SharedLibrary, AMissingLibraryOrNameGivesNothingAndTheReason) {
  SharedLibrary missing("libbrisko-missing.so.9");
  EXPECT_EQ(missing.Symbol("strlen"), nullptr);
  EXPECT_NE(missing.Error().find("cannot load libbrisko-missing.so.9"), std::string::npos) << missing.Error();

  SharedLibrary libc("libc.so.6");
  EXPECT_NE(libc.Symbol("strlen"), nullptr);
  EXPECT_EQ(libc.Symbol("brisko_no_such_name"), nullptr);
  EXPECT_EQ(libc.Error(), "");
}

}  // namespace
}  // namespace brisko
