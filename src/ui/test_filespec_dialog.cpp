#include "ui/test_filespec_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "support/file_spec_find.h"
#include "ui/folder_picker.h"

namespace brisko {

namespace {

QLineEdit* Field(const QString& text, const char* caption, QLabel* label, QWidget* parent) {
  auto* edit = new QLineEdit(text, parent);
  edit->setAccessibleName(caption);
  label->setBuddy(edit);
  return edit;
}

QPlainTextEdit* ResultBox(const char* caption, QWidget* parent) {
  auto* box = new QPlainTextEdit(parent);
  box->setReadOnly(true);
  box->setAccessibleName(caption);
  box->setMinimumHeight(160);
  return box;
}

}  // namespace

CTestFilespecDlg::CTestFilespecDlg(const std::string& include, const std::string& exclude, bool useRegex,
                                   const std::string& folder, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Test Filespec");
  auto* includeLabel = new QLabel("Filespec include:", this);
  auto* excludeLabel = new QLabel("Filespec exclude:", this);
  auto* folderLabel = new QLabel("Test folder", this);
  m_include = Field(QString::fromStdString(include), "Filespec include:", includeLabel, this);
  m_include->setPlaceholderText("eg: *.jpg|*.jpeg");
  m_exclude = Field(QString::fromStdString(exclude), "Filespec exclude:", excludeLabel, this);
  m_exclude->setPlaceholderText("eg: *.txt|*.temp");
  m_regex = new QCheckBox("Use Regular Expressions", this);
  m_regex->setChecked(useRegex);
  m_folder = Field(QString::fromStdString(folder), "Test folder", folderLabel, this);
  m_change = new QPushButton("Change...", this);
  m_change->setAccessibleDescription("Select Test Folder");
  m_search = new QPushButton("Search", this);
  m_search->setDefault(true);
  auto* includedLabel = new QLabel("Files included:", this);
  auto* excludedLabel = new QLabel("Files excluded:", this);
  m_included = ResultBox("Files included:", this);
  m_excluded = ResultBox("Files excluded:", this);
  includedLabel->setBuddy(m_included);
  excludedLabel->setBuddy(m_excluded);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);

  auto* grid = new QGridLayout;
  grid->addWidget(includeLabel, 0, 0);
  grid->addWidget(m_include, 0, 1, 1, 2);
  grid->addWidget(excludeLabel, 1, 0);
  grid->addWidget(m_exclude, 1, 1, 1, 2);
  grid->addWidget(m_regex, 2, 1, 1, 2);
  grid->addWidget(folderLabel, 3, 0);
  grid->addWidget(m_folder, 3, 1);
  grid->addWidget(m_change, 3, 2);
  grid->addWidget(m_search, 4, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnMinimumWidth(1, 320);
  auto* results = new QGridLayout;
  results->addWidget(includedLabel, 0, 0);
  results->addWidget(excludedLabel, 0, 1);
  results->addWidget(m_included, 1, 0);
  results->addWidget(m_excluded, 1, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(results, 1);
  layout->addWidget(buttons);

  pickFolder = [this](const std::string& start) {
    return PickFolder(this, "Select Test Folder", QString::fromStdString(start));
  };
  connect(m_change, &QPushButton::clicked, this, [this] {
    if (auto chosen = pickFolder(m_folder->text().toStdString()))
      m_folder->setText(QString::fromStdString(*chosen));
  });
  connect(m_search, &QPushButton::clicked, this, &CTestFilespecDlg::Search);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CTestFilespecDlg::Search() {
  const FilespecTestResult result =
      TestFilespec(m_folder->text().toStdString(), m_include->text().toStdString(),
                   m_exclude->text().toStdString(), m_regex->isChecked());
  // One name a line; the boxes show lines without the CR of the CR LF ends.
  auto lines = [](const std::string& text) { return QString::fromStdString(text).remove(QChar('\r')); };
  m_included->setPlainText(lines(result.IncludedText()));
  m_excluded->setPlainText(lines(result.ExcludedText()));
}

}  // namespace brisko
