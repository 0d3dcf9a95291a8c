#include "ui/naming_dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "common/temp_dir.h"
#include "naming/exif_access.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

// Collects the message boxes the dialogs would show.
struct Messages {
  Messages() {
    SetNamingMessageHook([this](QWidget*, const FormMessage& m) { shown.push_back(m); });
  }
  ~Messages() { SetNamingMessageHook(nullptr); }
  std::vector<FormMessage> shown;
};

QListWidgetItem* ItemWithId(QListWidget* list, unsigned id) {
  for (int i = 0; i < list->count(); ++i) {
    if (list->item(i)->data(Qt::UserRole).toUInt() == id) return list->item(i);
  }
  return nullptr;
}

}  // namespace

TEST(TheStaticTextDialog, putsTheCleanedTextBackWithItsMessage) {
  Messages messages;
  StaticTextDialog dialog(TemplateKind::kSubfolder);
  QTest::keyClicks(dialog.Edit(), "Ev\\a:");
  EXPECT_EQ(dialog.Edit()->text(), "Ev\\a");
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].caption, "Invalid character");
}

TEST(TheSubstringDialog, showsTheResultOfEveryChange) {
  SubstringDef def;
  SubstringDialog dialog(def, "IMG_0042");
  EXPECT_EQ(dialog.ResultLabel()->text(), "IMG_0042");
  QTest::keyClicks(dialog.FromFirstEdit(), "_");
  EXPECT_EQ(def.m_iFromType, SubstringDef::kFromFirstMatch);
  EXPECT_EQ(dialog.ResultLabel()->text(), "0042");
  dialog.LengthEdit()->clear();
  QTest::keyClicks(dialog.LengthEdit(), "0");
  EXPECT_EQ(dialog.LengthEdit()->text(), "1");
  dialog.RightSide()->setChecked(true);
  EXPECT_EQ(dialog.Group()->title(), "Substring Defined from the RIGHT side");
  EXPECT_FALSE(def.m_bFromLeft);
}

TEST(TheTemplateEditorDialog, addsThroughItsSubDialogsAndKeepsTheTemplateUntilOk) {
  NameTemplate tmpl(TemplateKind::kRename);
  NamingContext context;
  TemplateEditorDialog dialog(tmpl, context, DefaultExifAccess(), BriskoExifCustomMap());
  dialog.askText = [] { return std::optional<std::string>("Party_"); };
  dialog.askKey = [] { return std::optional<std::string>(); };  // cancelled

  dialog.List()->setCurrentItem(ItemWithId(dialog.List(), 3));
  QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
  dialog.List()->setCurrentItem(ItemWithId(dialog.List(), 59));
  QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
  dialog.List()->setCurrentItem(ItemWithId(dialog.List(), 0));
  QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.TemplateLineEdit()->text(), "Party_OrigFilename");
  EXPECT_EQ(dialog.ResultEdit()->text(), "Party_Brisko000123");
  EXPECT_TRUE(tmpl.m_ComponentArray.empty());
  dialog.accept();
  EXPECT_EQ(tmpl.m_ComponentArray, (std::vector<unsigned>{3, 0}));
}

TEST(TheTemplateEditorDialog, opensShowingWholeComponentNamesAndKeepsItsSizeInTheStore) {
  test::TempDir dir;
  SettingsStore store;
  ASSERT_TRUE(store.Open(dir / "settings.db"));
  NameTemplate tmpl(TemplateKind::kRename);
  NamingContext context;
  TemplateEditorDialog dialog(tmpl, context, DefaultExifAccess(), BriskoExifCustomMap());
  dialog.show();
  QListWidget* list = dialog.List();
  EXPECT_GE(list->viewport()->width(), list->sizeHintForColumn(0));
  EXPECT_GE(list->viewport()->height() / list->sizeHintForRow(0), 20) << "rows in view";
  EXPECT_GT(list->height(), dialog.height() * 3 / 4) << "the list takes the height";
  EXPECT_TRUE(dialog.ResultEdit()->isVisible());

  const QSize kept = dialog.minimumSizeHint() + QSize(30, 40);
  dialog.resize(kept);
  dialog.SaveSize(store);
  TemplateEditorDialog again(tmpl, context, DefaultExifAccess(), BriskoExifCustomMap());
  again.RestoreSize(store);
  EXPECT_EQ(again.size(), kept);
}

TEST(TheCustomFieldsDialog, refusesForbiddenCharactersAndHandsTheMapBackOnOk) {
  Messages messages;
  BriskoExifCustomMap action, known;
  known.Set("Zone", "A");
  CustomFieldsDialog dialog(action, known);
  EXPECT_EQ(dialog.NameCombo()->count(), 1);
  dialog.NameCombo()->setCurrentText("Ta=ble");
  dialog.ValueEdit()->setText("7");
  QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(dialog.List()->count(), 0);
  dialog.NameCombo()->setCurrentText("Table");
  QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.List()->count(), 1);
  EXPECT_EQ(dialog.List()->item(0)->text(), "Table = 7");
  EXPECT_TRUE(dialog.ValueEdit()->text().isEmpty());
  dialog.accept();
  EXPECT_EQ(action.ToText(), "Table=7|");
  EXPECT_EQ(known.ToText(), "Table=7|Zone=A|");
}

TEST(TheSelectKeyDialog, staysOpenOnAForbiddenKey) {
  Messages messages;
  SelectKeyDialog dialog(BriskoExifCustomMap{});
  dialog.show();
  dialog.Combo()->setCurrentText("a|b");
  dialog.accept();
  EXPECT_TRUE(dialog.isVisible());
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].caption, "Invalid character in key name");
  dialog.Combo()->setCurrentText("Zone");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}
