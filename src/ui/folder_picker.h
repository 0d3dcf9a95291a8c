#pragma once
// The one folder picker of the station ("Select Source Folder", "Select Destination Folder",
// "Select ID.TXT Folder", "Select Log Files Folder", "Select Temp Files Folder"): a "Folder
// &name:" combo box with the recently chosen folders and a tree to browse. The history is kept
// in the toolkit's per-user profile (section "FolderHistory"), not in the settings store.
#include <QDialog>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>

class QComboBox;
class QFileSystemModel;
class QTreeView;
class QTreeWidget;

namespace brisko {

// The recently chosen folders, newest first: "FolderHistory"/"Folder0000".."Folder0019" and
// "Last" in an ini file.
class FolderHistory {
 public:
  static constexpr int kMaxEntries = 20;

  // The profile file; empty: "$XDG_CONFIG_HOME/brisko/folders.ini". Tests point it elsewhere.
  static void SetProfilePath(const QString& path);
  static QString ProfilePath();

  static FolderHistory Load();
  // Puts `folder` on top (once), keeps at most kMaxEntries, and saves.
  void Remember(const QString& folder);
  // Writes the entries and "Last"; stored entries past the count are deleted upward from the
  // count until the first missing one, at most up to number 999.
  void Save() const;

  const QStringList& Folders() const { return m_folders; }
  const QString& Last() const { return m_last; }

 private:
  QStringList m_folders;
  QString m_last;
};

class FolderPickerDialog : public QDialog {
  Q_OBJECT
 public:
  FolderPickerDialog(const QString& title, const QString& start, QWidget* parent = nullptr);

  QComboBox* NameCombo() const { return m_name; }
  QTreeView* Tree() const { return m_tree; }
  // The chosen folder after OK.
  const QString& Chosen() const { return m_chosen; }
  // Takes the combo box's text: a folder that cannot be opened keeps the picker open with
  // "The folder '%s' isn't accessible."; otherwise it joins the history.
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowInTree(const QString& folder);
  void KeepCurrentInView();

  QComboBox* m_name = nullptr;
  QTreeView* m_tree = nullptr;
  QFileSystemModel* m_model = nullptr;
  QString m_chosen;
  // "Cameras": the cameras found on the buses, filled in when the search ends.
  QTreeWidget* m_cameras = nullptr;
  QString m_inUse;  // the camera the action uses now, listed whether found or not
  void FindCameras();
  bool m_scrollPending = false;
  bool m_operatorMoved = false;
};

// Modal; the chosen folder, or nothing when cancelled.
std::optional<std::string> PickFolder(QWidget* parent, const QString& title, const QString& start);

// How the picker shows its message box; tests replace it. Null restores the real message box.
void SetFolderPickerMessageHook(std::function<void(QWidget* parent, const QString& text)> hook);

}  // namespace brisko
