#pragma once
// "Application settings": log folder, logging level, logging to files, temp folder.
#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

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

  QLineEdit* LogFolderEdit() const { return m_logFolder; }
  QComboBox* LevelCombo() const { return m_level; }
  QCheckBox* LogToFileBox() const { return m_logToFile; }
  QLineEdit* TempFolderEdit() const { return m_tempFolder; }
  QPushButton* LogFolderButton() const { return m_logButton; }
  QPushButton* TempFolderButton() const { return m_tempButton; }
  QLineEdit* StaticMapUrlEdit() const { return m_mapUrl; }
  QLineEdit* StaticMapKeyEdit() const { return m_mapKey; }

 private:
  QLineEdit* m_logFolder;
  QComboBox* m_level;
  QCheckBox* m_logToFile;
  QLineEdit* m_tempFolder;
  QPushButton* m_logButton;
  QPushButton* m_tempButton;
  QLineEdit* m_mapUrl;
  QLineEdit* m_mapKey;
};

}  // namespace brisko
