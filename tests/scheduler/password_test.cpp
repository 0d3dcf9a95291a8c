#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "scheduler/settings_password.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

class APassword : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store.Open(dir / "settings.db")); }
  test::TempDir dir;
  SettingsStore store;
};

}  // namespace

TEST_F(APassword, isConfirmedAtOnceWhenNoneIsSet) {
  for (const char* stored : {static_cast<const char*>(nullptr), ""}) {
    if (stored) store.WriteProfileString("Settings", "ps", stored);
    EnterPasswordForm form(store);
    EXPECT_EQ(form.Caption(), "No Password Set");
    EXPECT_FALSE(form.InputEnabled());
    form.SetInput("typed anyway");
    EXPECT_EQ(form.Input(), "");
    EXPECT_TRUE(form.Accept());
  }
}

TEST_F(APassword, mustMatchExactly) {
  store.WriteProfileString("Settings", "ps", "S3cret");
  EnterPasswordForm form(store);
  EXPECT_EQ(form.Caption(), "Enter Password");
  EXPECT_TRUE(form.InputEnabled());
  for (const char* wrong : {"", "s3cret", "S3CRET", "S3cret ", " S3cret", "S3cre"}) {
    form.SetInput(wrong);
    EXPECT_FALSE(form.Accept()) << wrong;
    EXPECT_EQ(form.Input(), wrong);  // stays as typed
  }
  form.SetInput("S3cret");
  EXPECT_TRUE(form.Accept());
}

TEST_F(APassword, changesOnlyWithTheExistingPasswordAndTwoEqualNewOnes) {
  store.WriteProfileString("Settings", "ps", "old");
  const struct {
    const char* existing;
    const char* fresh;
    const char* confirm;
    const char* message;
    const char* storedAfter;
  } rows[] = {
      {"", "new", "new", ChangePasswordForm::kExistingWrong, "old"},
      {"OLD", "new", "new", ChangePasswordForm::kExistingWrong, "old"},
      {"old", "new", "New", ChangePasswordForm::kMismatch, "old"},
      {"old", "new", "", ChangePasswordForm::kMismatch, "old"},
      {"old", "new", "new", "", "new"},
      {"new", "", "", "", ""},  // an empty password removes the protection
      {"", "first", "first", "", "first"},
  };
  for (const auto& row : rows) {
    ChangePasswordForm change(store);
    change.SetExisting(row.existing);
    change.SetNew(row.fresh);
    change.SetConfirm(row.confirm);
    EXPECT_EQ(change.Accept(), row.message) << row.existing << "/" << row.fresh;
    EXPECT_EQ(GetSettingsPassword(store), row.storedAfter);
  }
}
