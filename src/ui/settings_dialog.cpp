#include "ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "support/logger.h"
#include "ui/folder_picker.h"

namespace brisko {

CSettingsDlg::FolderPicker& CSettingsDlg::Picker() {
  static FolderPicker picker = [](QWidget* parent, const QString& title, const QString& start) {
    return QString::fromStdString(PickFolder(parent, title, start).value_or(std::string()));
  };
  return picker;
}

CSettingsDlg::CSettingsDlg(const QString& logFolder, int level, int logToFile, const QString& tempFolder,
                           QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Application settings");
  m_logFolder = new QLineEdit(logFolder, this);
  m_logButton = new QPushButton("Edit", this);
  m_level = new QComboBox(this);
  for (int i = 1; i <= 5; ++i) m_level->addItem(Logger::LevelText(i));
  m_level->setCurrentIndex(std::clamp(level, 1, 5) - 1);
  m_logToFile = new QCheckBox("Enable logging to files", this);
  m_logToFile->setChecked(logToFile != 0);
  m_tempFolder = new QLineEdit(tempFolder, this);
  m_tempButton = new QPushButton("Edit", this);
  m_mapUrl = new QLineEdit(this);
  m_mapUrl->setToolTip("Address with the placeholders {PATH}, {MARKERS} and {KEY}");
  m_mapKey = new QLineEdit(this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel("Log files folder:", this), 0, 0);
  grid->addWidget(m_logFolder, 0, 1);
  grid->addWidget(m_logButton, 0, 2);
  grid->addWidget(new QLabel("Logging level:", this), 1, 0);
  grid->addWidget(m_level, 1, 1);
  grid->addWidget(m_logToFile, 2, 1);
  grid->addWidget(new QLabel("Temp folder:", this), 3, 0);
  grid->addWidget(m_tempFolder, 3, 1);
  grid->addWidget(m_tempButton, 3, 2);
  grid->addWidget(new QLabel("Static map address:", this), 4, 0);
  grid->addWidget(m_mapUrl, 4, 1, 1, 2);
  grid->addWidget(new QLabel("Static map key:", this), 5, 0);
  grid->addWidget(m_mapKey, 5, 1, 1, 2);
  grid->addWidget(buttons, 6, 0, 1, 3);
  grid->setColumnMinimumWidth(1, 320);

  auto pick = [this](QLineEdit* edit, const char* title) {
    QString chosen = Picker()(this, title, edit->text());
    if (!chosen.isEmpty()) edit->setText(chosen);
  };
  connect(m_logButton, &QPushButton::clicked, this,
          [this, pick] { pick(m_logFolder, "Select Log Files Folder"); });
  connect(m_tempButton, &QPushButton::clicked, this,
          [this, pick] { pick(m_tempFolder, "Select Temp Files Folder"); });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QString CSettingsDlg::LogFolder() const {
  return m_logFolder->text();
}
int CSettingsDlg::Level() const {
  return m_level->currentIndex() + 1;
}
int CSettingsDlg::LogToFile() const {
  return m_logToFile->isChecked() ? 1 : 0;
}
QString CSettingsDlg::TempFolder() const {
  return m_tempFolder->text();
}
void CSettingsDlg::SetStaticMap(const QString& url, const QString& key) {
  m_mapUrl->setText(url);
  m_mapKey->setText(key);
}
QString CSettingsDlg::StaticMapUrl() const {
  return m_mapUrl->text().trimmed();
}
QString CSettingsDlg::StaticMapKey() const {
  return m_mapKey->text().trimmed();
}

}  // namespace brisko
