#pragma once
// "Application settings": log folder, logging level, logging to files, temp folder, the
// static map service and the status page.
#include <QDialog>
#include <QImage>
#include <functional>

#include "app/status_page.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QLabel;
class QPushButton;
class QSpinBox;

namespace brisko {

class CSettingsDlg : public QDialog {
  Q_OBJECT
 public:
  // Title and start folder in, chosen folder out; empty when cancelled. Replaceable for tests.
  using FolderPicker = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;
  static FolderPicker& Picker();

  CSettingsDlg(const QString& logFolder, int level, int logToFile, const QString& tempFolder,
               QWidget* parent = nullptr);

  QString LogFolder() const;
  int Level() const;  // 1 to 5
  int LogToFile() const;
  QString TempFolder() const;
  // The static map service of the GPS area preview: address template and access key.
  void SetStaticMap(const QString& url, const QString& key);
  QString StaticMapUrl() const;
  QString StaticMapKey() const;

  // The page's settings, and the address it runs at now ("" when off) for the QR code.
  void SetStatusPage(const StatusPageConfig& config, const QString& runningUrl);
  StatusPageConfig StatusPage() const;

  QLineEdit* LogFolderEdit() const { return m_logFolder; }
  QComboBox* LevelCombo() const { return m_level; }
  QCheckBox* LogToFileBox() const { return m_logToFile; }
  QLineEdit* TempFolderEdit() const { return m_tempFolder; }
  QPushButton* LogFolderButton() const { return m_logButton; }
  QPushButton* TempFolderButton() const { return m_tempButton; }
  QLineEdit* StaticMapUrlEdit() const { return m_mapUrl; }
  QLineEdit* StaticMapKeyEdit() const { return m_mapKey; }
  QCheckBox* StatusPageBox() const { return m_pageOn; }
  QLineEdit* StatusPageAddressEdit() const { return m_pageAddress; }
  QSpinBox* StatusPagePortSpin() const { return m_pagePort; }
  QLineEdit* StatusPageKeyEdit() const { return m_pageKey; }
  QPushButton* NewKeyButton() const { return m_newKey; }
  QLabel* StatusPageQr() const { return m_pageQr; }

  void accept() override;

 private:
  QLineEdit* m_logFolder;
  QComboBox* m_level;
  QCheckBox* m_logToFile;
  QLineEdit* m_tempFolder;
  QPushButton* m_logButton;
  QPushButton* m_tempButton;
  QLineEdit* m_mapUrl;
  QLineEdit* m_mapKey;
  QCheckBox* m_pageOn;
  QLineEdit* m_pageAddress;
  QSpinBox* m_pagePort;
  QLineEdit* m_pageKey;
  QPushButton* m_newKey;
  QLabel* m_pageUrl;
  QLabel* m_pageQr;
};

// The QR code of `text` as a black-on-white image, `scale` pixels a module with the standard
// quiet zone; null when it cannot be encoded.
QImage QrCodeImage(const QString& text, int scale = 4);

}  // namespace brisko
