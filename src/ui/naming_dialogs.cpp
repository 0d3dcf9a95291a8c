#include "ui/naming_dialogs.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "naming/exif_access.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

std::function<void(QWidget*, const FormMessage&)>& MessageHook() {
  static std::function<void(QWidget*, const FormMessage&)> hook;
  return hook;
}

void ShowMessage(QWidget* parent, const FormMessage& message) {
  if (MessageHook()) {
    MessageHook()(parent, message);
    return;
  }
  QMessageBox::warning(parent, QString::fromStdString(message.caption), QString::fromStdString(message.text));
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
std::string S(const QString& text) {
  return text.toStdString();
}

QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

QStringList Names(const std::vector<std::string>& names) {
  QStringList list;
  for (const auto& name : names) list << Q(name);
  return list;
}

}  // namespace

void SetNamingMessageHook(std::function<void(QWidget*, const FormMessage&)> hook) {
  MessageHook() = std::move(hook);
}

// ---- Static text entry

StaticTextDialog::StaticTextDialog(TemplateKind kind, QWidget* parent) : QDialog(parent), m_form(kind) {
  setWindowTitle(StaticTextForm::kCaption);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(StaticTextForm::kPrompt, this));
  m_edit = new QLineEdit(this);
  layout->addWidget(m_edit);
  layout->addWidget(OkCancel(this));
  connect(m_edit, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (auto message = m_form.OnTextChanged(S(text))) {
      ShowMessage(this, *message);
      m_edit->setText(Q(m_form.Text()));
    }
  });
}

std::optional<std::string> StaticTextDialog::Ask(QWidget* parent, TemplateKind kind) {
  StaticTextDialog dialog(kind, parent);
  if (dialog.exec() != QDialog::Accepted || dialog.Text().empty()) return std::nullopt;
  return dialog.Text();
}

// ---- Select BriskoEXIF Key

SelectKeyDialog::SelectKeyDialog(const BriskoExifCustomMap& knownNames, QWidget* parent)
    : QDialog(parent), m_form(knownNames) {
  setWindowTitle(SelectKeyForm::kCaption);
  auto* layout = new QVBoxLayout(this);
  m_combo = new QComboBox(this);
  m_combo->setEditable(true);
  m_combo->addItems(Names(m_form.KnownNames()));
  layout->addWidget(m_combo);
  layout->addWidget(OkCancel(this));
}

std::string SelectKeyDialog::Key() const {
  return S(m_combo->currentText());
}

void SelectKeyDialog::accept() {
  if (auto message = m_form.Ok(Key())) {
    ShowMessage(this, *message);
    return;
  }
  QDialog::accept();
}

std::optional<std::string> SelectKeyDialog::Ask(QWidget* parent, const BriskoExifCustomMap& knownNames) {
  SelectKeyDialog dialog(knownNames, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Key();
}

// ---- Substring

SubstringDialog::SubstringDialog(SubstringDef& def, const std::string& sample, QWidget* parent)
    : QDialog(parent), m_form(def, sample) {
  setWindowTitle(SubstringEditorForm::kCaption);
  auto* layout = new QVBoxLayout(this);
  m_left = new QRadioButton(SubstringEditorForm::kLeftRadio, this);
  m_right = new QRadioButton(SubstringEditorForm::kRightRadio, this);
  layout->addWidget(m_left);
  layout->addWidget(m_right);

  m_group = new QGroupBox(this);
  auto* grid = new QGridLayout(m_group);
  m_fromGroup = new QButtonGroup(this);
  m_toGroup = new QButtonGroup(this);
  QStringList ordinals = Names(SubstringEditorForm::OrdinalLabels());

  m_fromType0 = new QRadioButton(m_group);
  auto* fromChar = new QRadioButton("from the", m_group);
  m_fromOrdinal = new QComboBox(m_group);
  m_fromOrdinal->addItems(ordinals);
  auto* fromFirst = new QRadioButton("following the first occurrence of", m_group);
  m_fromFirst = new QLineEdit(m_group);
  auto* fromLast = new QRadioButton("following the last occurrence of", m_group);
  m_fromLast = new QLineEdit(m_group);
  int row = 0;
  grid->addWidget(m_fromType0, row++, 0, 1, 3);
  grid->addWidget(fromChar, row, 0);
  grid->addWidget(m_fromOrdinal, row, 1);
  grid->addWidget(new QLabel("character", m_group), row++, 2);
  grid->addWidget(fromFirst, row, 0);
  grid->addWidget(m_fromFirst, row++, 1, 1, 2);
  grid->addWidget(fromLast, row, 0);
  grid->addWidget(m_fromLast, row++, 1, 1, 2);
  int id = 0;
  for (QRadioButton* b : {m_fromType0, fromChar, fromFirst, fromLast}) m_fromGroup->addButton(b, id++);

  m_toType0 = new QRadioButton(m_group);
  auto* toChar = new QRadioButton("to the", m_group);
  m_toOrdinal = new QComboBox(m_group);
  m_toOrdinal->addItems(ordinals);
  auto* toLength = new QRadioButton("with a length of", m_group);
  m_length = new QLineEdit(m_group);
  m_length->setValidator(new QIntValidator(0, 2147483647, m_length));
  auto* toFirst = new QRadioButton("to the first occurrence of", m_group);
  m_toFirst = new QLineEdit(m_group);
  auto* toLast = new QRadioButton("to the last occurrence of", m_group);
  m_toLast = new QLineEdit(m_group);
  grid->addWidget(m_toType0, row++, 0, 1, 3);
  grid->addWidget(toChar, row, 0);
  grid->addWidget(m_toOrdinal, row, 1);
  grid->addWidget(new QLabel("character", m_group), row++, 2);
  grid->addWidget(toLength, row, 0);
  grid->addWidget(m_length, row++, 1, 1, 2);
  grid->addWidget(toFirst, row, 0);
  grid->addWidget(m_toFirst, row++, 1, 1, 2);
  grid->addWidget(toLast, row, 0);
  grid->addWidget(m_toLast, row++, 1, 1, 2);
  id = 0;
  for (QRadioButton* b : {m_toType0, toChar, toLength, toFirst, toLast}) m_toGroup->addButton(b, id++);
  layout->addWidget(m_group);

  m_sample = new QLineEdit(Q(m_form.Sample()), this);
  m_result = new QLabel(this);
  layout->addWidget(m_sample);
  auto* resultRow = new QHBoxLayout;
  resultRow->addWidget(new QLabel("Result:", this));
  resultRow->addWidget(m_result, 1);
  layout->addLayout(resultRow);
  layout->addWidget(OkCancel(this));

  const SubstringDef& d = m_form.Definition();
  (d.m_bFromLeft ? m_left : m_right)->setChecked(true);
  if (auto* b = m_fromGroup->button(d.m_iFromType)) b->setChecked(true);
  if (auto* b = m_toGroup->button(d.m_iToType)) b->setChecked(true);
  if (d.m_iFromChar >= 0 && d.m_iFromChar < 30) m_fromOrdinal->setCurrentIndex(d.m_iFromChar);
  if (d.m_iToChar >= 0 && d.m_iToChar < 30) m_toOrdinal->setCurrentIndex(d.m_iToChar);
  m_fromFirst->setText(Q(d.m_strFromFirstMatch));
  m_fromLast->setText(Q(d.m_strFromLastMatch));
  m_toFirst->setText(Q(d.m_strToFirstMatch));
  m_toLast->setText(Q(d.m_strToLastMatch));
  m_length->setText(QString::number(d.m_iLength));
  Refresh();

  auto checkFrom = [this](int id) { m_fromGroup->button(id)->setChecked(true); };
  auto checkTo = [this](int id) { m_toGroup->button(id)->setChecked(true); };
  connect(m_left, &QRadioButton::toggled, this, [this](bool on) {
    m_form.SetFromLeft(on);
    Refresh();
  });
  connect(m_fromGroup, &QButtonGroup::idClicked, this, [this](int id) {
    m_form.SetFromType(id);
    Refresh();
  });
  connect(m_toGroup, &QButtonGroup::idClicked, this, [this](int id) {
    m_form.SetToType(id);
    Refresh();
  });
  connect(m_fromOrdinal, &QComboBox::activated, this, [this, checkFrom](int index) {
    m_form.ChooseFromOrdinal(index);
    checkFrom(SubstringDef::kFromChar);
    Refresh();
  });
  connect(m_toOrdinal, &QComboBox::activated, this, [this, checkTo](int index) {
    m_form.ChooseToOrdinal(index);
    checkTo(SubstringDef::kToChar);
    Refresh();
  });
  connect(m_fromFirst, &QLineEdit::textEdited, this, [this, checkFrom](const QString& t) {
    m_form.SetFromFirstMatch(S(t));
    checkFrom(SubstringDef::kFromFirstMatch);
    Refresh();
  });
  connect(m_fromLast, &QLineEdit::textEdited, this, [this, checkFrom](const QString& t) {
    m_form.SetFromLastMatch(S(t));
    checkFrom(SubstringDef::kFromLastMatch);
    Refresh();
  });
  connect(m_toFirst, &QLineEdit::textEdited, this, [this, checkTo](const QString& t) {
    m_form.SetToFirstMatch(S(t));
    checkTo(SubstringDef::kToFirstMatch);
    Refresh();
  });
  connect(m_toLast, &QLineEdit::textEdited, this, [this, checkTo](const QString& t) {
    m_form.SetToLastMatch(S(t));
    checkTo(SubstringDef::kToLastMatch);
    Refresh();
  });
  connect(m_length, &QLineEdit::textEdited, this, [this](const QString& t) {
    QString shown = Q(m_form.SetLengthText(S(t)));
    if (shown != t) m_length->setText(shown);
    Refresh();
  });
  connect(m_sample, &QLineEdit::textEdited, this, [this](const QString& t) {
    m_form.SetSample(S(t));
    Refresh();
  });
}

void SubstringDialog::Refresh() {
  m_group->setTitle(Q(m_form.GroupCaption()));
  m_fromType0->setText(Q(m_form.StartType0Label()));
  m_toType0->setText(Q(m_form.EndType0Label()));
  m_result->setText(Q(m_form.Result()));
}

bool SubstringDialog::Edit(QWidget* parent, SubstringDef& def, const std::string& sample) {
  SubstringDialog dialog(def, sample, parent);
  return dialog.exec() == QDialog::Accepted;
}

// ---- Template editors

TemplateEditorDialog::TemplateEditorDialog(NameTemplate& tmpl, const NamingContext& context, ExifAccess& exif,
                                           const BriskoExifCustomMap& knownNames, QWidget* parent)
    : QDialog(parent), m_target(tmpl), m_working(tmpl), m_form(m_working, context, exif) {
  const TemplateKind kind = m_working.Kind();
  askText = [this, kind] { return StaticTextDialog::Ask(this, kind); };
  askKey = [this, knownNames] { return SelectKeyDialog::Ask(this, knownNames); };
  askSubstring = [this](SubstringDef& def, const std::string& sample) {
    return SubstringDialog::Edit(this, def, sample);
  };
  askFile = [this] { return S(QFileDialog::getOpenFileName(this)); };

  setWindowTitle(Q(m_form.Caption()));
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(Q(m_form.ListLabel()), this), 0, 0);
  m_list = new QListWidget(this);
  for (const auto& item : m_form.Items()) {
    auto* entry = new QListWidgetItem(Q(item.text), m_list);
    entry->setData(Qt::UserRole, item.id);
  }
  // Every component name shows whole; the list and the preview take the room a larger window gives.
  m_list->setMinimumWidth(m_list->sizeHintForColumn(0) + 2 * m_list->frameWidth() +
                          m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 8);
  layout->addWidget(m_list, 1, 0, 2, 1);
  m_add = new QPushButton("Add -->", this);
  m_clear = new QPushButton("Clear", this);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(m_add);
  buttons->addWidget(m_clear);
  buttons->addStretch(1);
  layout->addLayout(buttons, 1, 1, 2, 1);
  // The template and its test stack beside the list, labels above their boxes, so that the boxes
  // keep a useful width even on a small screen.
  auto* preview = new QVBoxLayout;
  m_line = new QLineEdit(this);
  m_line->setReadOnly(true);
  preview->addWidget(m_line);
  preview->addSpacing(12);
  preview->addWidget(new QLabel("Sample filename:", this));
  m_sample = new QLineEdit(Q(m_form.Sample()), this);
  preview->addWidget(m_sample);
  m_select = new QPushButton("Select Actual File...", this);
  preview->addWidget(m_select, 0, Qt::AlignLeft);
  preview->addSpacing(12);
  preview->addWidget(new QLabel(Q(m_form.ResultLabel()), this));
  m_result = new QLineEdit(this);
  m_result->setReadOnly(true);
  preview->addWidget(m_result);
  preview->addStretch(1);
  layout->addLayout(preview, 1, 2, 2, 1);
  layout->addWidget(OkCancel(this), 3, 0, 1, 3);
  layout->setColumnStretch(0, 3);
  layout->setColumnStretch(2, 2);
  layout->setRowStretch(2, 1);
  setSizeGripEnabled(true);
  resize(FittingSize(QSize(kDefaultWidth, kDefaultHeight)));
  Refresh();

  connect(m_add, &QPushButton::clicked, this, &TemplateEditorDialog::OnAdd);
  connect(m_clear, &QPushButton::clicked, this, [this] {
    m_form.Clear();
    Refresh();
  });
  connect(m_sample, &QLineEdit::textEdited, this, [this](const QString& t) {
    m_form.SetSample(S(t));
    Refresh();
  });
  connect(m_select, &QPushButton::clicked, this, [this] {
    std::string path = askFile();
    if (path.empty()) return;
    m_form.SelectActualFile(path);
    m_sample->setText(Q(m_form.Sample()));
    Refresh();
  });
}

void TemplateEditorDialog::OnAdd() {
  QListWidgetItem* item = m_list->currentItem();
  if (item == nullptr) return;
  const unsigned id = item->data(Qt::UserRole).toUInt();
  switch (m_form.Add(id)) {
    case TemplateEditorForm::AddStep::kNeedStaticText:
      m_form.CompleteAddText(askText().value_or(std::string()));
      break;
    case TemplateEditorForm::AddStep::kNeedKey:
      m_form.CompleteAddKey(askKey().value_or(std::string()));
      break;
    case TemplateEditorForm::AddStep::kNeedSubstring: {
      auto def = std::make_unique<SubstringDef>();
      if (!askSubstring(*def, m_form.SubstringSample())) def.reset();
      m_form.CompleteAddSubstring(std::move(def));
      break;
    }
    default:
      break;
  }
  Refresh();
}

void TemplateEditorDialog::Refresh() {
  m_line->setText(Q(m_form.TemplateLine()));
  m_result->setText(Q(m_form.Result()));
}

void TemplateEditorDialog::accept() {
  m_target = m_working;
  QDialog::accept();
}

QSize TemplateEditorDialog::FittingSize(QSize wanted) const {
  // Never smaller than its controls, never larger than the screen (a small station display, or a
  // size kept from a larger one).
  wanted = wanted.expandedTo(minimumSizeHint());
  if (const QScreen* shown = screen()) wanted = wanted.boundedTo(shown->availableGeometry().size());
  return wanted;
}

void TemplateEditorDialog::RestoreSize(SettingsStore& store) {
  const int width = store.GetProfileInt(kSizeSection, kWidthEntry, 0);
  const int height = store.GetProfileInt(kSizeSection, kHeightEntry, 0);
  if (width > 0 && height > 0) resize(FittingSize(QSize(width, height)));
}

void TemplateEditorDialog::SaveSize(SettingsStore& store) const {
  store.WriteProfileInt(kSizeSection, kWidthEntry, width());
  store.WriteProfileInt(kSizeSection, kHeightEntry, height());
}

bool TemplateEditorDialog::Edit(QWidget* parent, NameTemplate& tmpl, const NamingContext& context,
                                const BriskoExifCustomMap& knownNames, SettingsStore* store) {
  TemplateEditorDialog dialog(tmpl, context, DefaultExifAccess(), knownNames, parent);
  if (store) dialog.RestoreSize(*store);
  const bool accepted = dialog.exec() == QDialog::Accepted;
  if (store) dialog.SaveSize(*store);
  return accepted;
}

// ---- Manage Custom BriskoEXIF Fields

CustomFieldsDialog::CustomFieldsDialog(BriskoExifCustomMap& actionFields, BriskoExifCustomMap& knownNames,
                                       QWidget* parent)
    : QDialog(parent), m_action(actionFields), m_knownNames(knownNames), m_form(actionFields, knownNames) {
  setWindowTitle(CustomFieldsForm::kCaption);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Existing BriskoEXIF Name and Value pairs for this Action", this));
  m_list = new QListWidget(this);
  layout->addWidget(m_list);
  m_delete = new QPushButton("Delete", this);
  layout->addWidget(m_delete);
  auto* group = new QGroupBox("Add new Custom BriskoEXIF Name and Value", this);
  auto* form = new QGridLayout(group);
  form->addWidget(new QLabel("Select existing or type in new field name", group), 0, 0);
  m_name = new QComboBox(group);
  m_name->setEditable(true);
  m_name->addItems(Names(m_form.KnownNames()));
  m_name->setCurrentText(QString());
  form->addWidget(m_name, 0, 1);
  form->addWidget(new QLabel("Field value (for renaming files, folders)", group), 1, 0);
  m_value = new QLineEdit(group);
  form->addWidget(m_value, 1, 1);
  m_add = new QPushButton("Add", group);
  form->addWidget(m_add, 2, 1);
  layout->addWidget(group);
  layout->addWidget(OkCancel(this));
  Refill();

  connect(m_add, &QPushButton::clicked, this, [this] {
    if (auto message = m_form.Add(S(m_name->currentText()), S(m_value->text()))) {
      ShowMessage(this, *message);
      return;
    }
    Refill();
    m_name->setCurrentText(QString());
    m_value->clear();
  });
  connect(m_delete, &QPushButton::clicked, this, [this] {
    if (QListWidgetItem* item = m_list->currentItem()) {
      m_form.Delete(S(item->text()));
      Refill();
    }
  });
}

void CustomFieldsDialog::Refill() {
  m_list->clear();
  m_list->addItems(Names(m_form.Lines()));
}

void CustomFieldsDialog::accept() {
  m_form.Ok(m_action, m_knownNames);
  QDialog::accept();
}

}  // namespace brisko
