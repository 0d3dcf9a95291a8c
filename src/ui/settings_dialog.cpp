#include "ui/settings_dialog.h"

#include <qrencode.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <memory>

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
  m_pageOn = new QCheckBox("Serve the status page", this);
  m_pageAddress = new QLineEdit(kDefaultStatusPageAddress, this);
  m_pageAddress->setToolTip("127.0.0.1: this computer only; 0.0.0.0: every network (a key is then needed)");
  m_pagePort = new QSpinBox(this);
  m_pagePort->setRange(0, 65535);
  m_pagePort->setValue(kDefaultStatusPagePort);
  m_pageKey = new QLineEdit(this);
  m_pageKey->setReadOnly(true);
  m_newKey = new QPushButton("New key", this);
  m_pageUrl = new QLabel(this);
  m_pageUrl->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_pageQr = new QLabel(this);
  m_pageQr->setAccessibleName("Status page address as a QR code");
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
  grid->addWidget(new QLabel("Status page:", this), 6, 0);
  grid->addWidget(m_pageOn, 6, 1);
  grid->addWidget(new QLabel("Status page address:", this), 7, 0);
  grid->addWidget(m_pageAddress, 7, 1);
  grid->addWidget(new QLabel("Status page port:", this), 8, 0);
  grid->addWidget(m_pagePort, 8, 1);
  grid->addWidget(new QLabel("Status page key:", this), 9, 0);
  grid->addWidget(m_pageKey, 9, 1);
  grid->addWidget(m_newKey, 9, 2);
  grid->addWidget(m_pageUrl, 10, 1, 1, 2);
  grid->addWidget(m_pageQr, 11, 1, 1, 2);
  grid->addWidget(buttons, 12, 0, 1, 3);
  grid->setColumnMinimumWidth(1, 320);

  auto pick = [this](QLineEdit* edit, const char* title) {
    QString chosen = Picker()(this, title, edit->text());
    if (!chosen.isEmpty()) edit->setText(chosen);
  };
  connect(m_logButton, &QPushButton::clicked, this,
          [this, pick] { pick(m_logFolder, "Select Log Files Folder"); });
  connect(m_tempButton, &QPushButton::clicked, this,
          [this, pick] { pick(m_tempFolder, "Select Temp Files Folder"); });
  connect(m_newKey, &QPushButton::clicked, this,
          [this] { m_pageKey->setText(QString::fromStdString(MakeStatusPageKey())); });
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

namespace brisko {

void CSettingsDlg::SetStatusPage(const StatusPageConfig& config, const QString& runningUrl) {
  m_pageOn->setChecked(config.enabled);
  m_pageAddress->setText(QString::fromStdString(config.address));
  m_pagePort->setValue(config.port);
  m_pageKey->setText(QString::fromStdString(config.key));
  m_pageUrl->setText(runningUrl.isEmpty() ? QString("The status page is off") : runningUrl);
  const QImage qr = runningUrl.isEmpty() ? QImage() : QrCodeImage(runningUrl);
  m_pageQr->setPixmap(qr.isNull() ? QPixmap() : QPixmap::fromImage(qr));
  m_pageQr->setVisible(!qr.isNull());
}

StatusPageConfig CSettingsDlg::StatusPage() const {
  StatusPageConfig config;
  config.enabled = m_pageOn->isChecked();
  config.address = m_pageAddress->text().trimmed().toStdString();
  config.port = m_pagePort->value();
  config.key = m_pageKey->text().toStdString();
  return config;
}

void CSettingsDlg::accept() {
  const std::string problem = CheckStatusPageConfig(StatusPage());
  if (!problem.empty()) {
    QMessageBox::warning(this, "Application settings", QString::fromStdString(problem));
    return;
  }
  QDialog::accept();
}

QImage QrCodeImage(const QString& text, int scale) {
  const QByteArray utf8 = text.toUtf8();
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), QRcode_free);
  if (!code) return {};
  constexpr int kQuiet = 4;
  const int side = (code->width + 2 * kQuiet) * scale;
  QImage image(side, side, QImage::Format_Grayscale8);
  image.fill(255);
  for (int y = 0; y < code->width; ++y) {
    for (int x = 0; x < code->width; ++x) {
      if (!(code->data[y * code->width + x] & 1)) continue;
      for (int dy = 0; dy < scale; ++dy) {
        uchar* row = image.scanLine((y + kQuiet) * scale + dy);
        for (int dx = 0; dx < scale; ++dx) row[(x + kQuiet) * scale + dx] = 0;
      }
    }
  }
  return image;
}

}  // namespace brisko
