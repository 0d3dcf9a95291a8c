#include "ui/folder_picker.h"

#include <dirent.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/camera_search.h"
#include "camera/camera_source.h"
#include "engine/base/card_source.h"

namespace brisko {

namespace {

constexpr const char* kSection = "FolderHistory";
constexpr int kMaxStoredNumber = 999;

QString& ProfileOverride() {
  static QString path;
  return path;
}

std::function<void(QWidget*, const QString&)>& MessageHook() {
  static std::function<void(QWidget*, const QString&)> hook;
  return hook;
}

// A line of the cameras list that is only information: it cannot be chosen.
void Placeholder(QTreeWidgetItem* parent, const QString& text) {
  auto* item = new QTreeWidgetItem(parent, QStringList(text));
  item->setFlags(Qt::ItemIsEnabled);
}

void Warn(QWidget* parent, const QString& text) {
  if (MessageHook()) {
    MessageHook()(parent, text);
  } else {
    QMessageBox::warning(parent, parent->windowTitle(), text);
  }
}

QString EntryKey(int number) {
  return QString("Folder%1").arg(number, 4, 10, QChar('0'));
}

bool CanOpen(const QString& folder) {
  if (folder.isEmpty()) return false;
  DIR* dir = ::opendir(QFile::encodeName(folder).constData());
  if (!dir) return false;
  ::closedir(dir);
  return true;
}

}  // namespace

void SetFolderPickerMessageHook(std::function<void(QWidget*, const QString&)> hook) {
  MessageHook() = std::move(hook);
}

void FolderHistory::SetProfilePath(const QString& path) {
  ProfileOverride() = path;
}

QString FolderHistory::ProfilePath() {
  if (!ProfileOverride().isEmpty()) return ProfileOverride();
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/brisko/folders.ini";
}

FolderHistory FolderHistory::Load() {
  FolderHistory history;
  QSettings profile(ProfilePath(), QSettings::IniFormat);
  profile.beginGroup(kSection);
  for (int i = 0; i < kMaxEntries; ++i) {
    const QString folder = profile.value(EntryKey(i)).toString();
    if (folder.isEmpty()) break;
    history.m_folders << folder;
  }
  history.m_last = profile.value("Last").toString();
  return history;
}

void FolderHistory::Remember(const QString& folder) {
  m_folders.removeAll(folder);
  m_folders.prepend(folder);
  while (m_folders.size() > kMaxEntries) m_folders.removeLast();
  m_last = folder;
  Save();
}

void FolderHistory::Save() const {
  QDir().mkpath(QFileInfo(ProfilePath()).absolutePath());
  QSettings profile(ProfilePath(), QSettings::IniFormat);
  profile.beginGroup(kSection);
  const int count = static_cast<int>(m_folders.size());
  for (int i = 0; i < count; ++i) profile.setValue(EntryKey(i), m_folders[i]);
  for (int i = count; i <= kMaxStoredNumber && profile.contains(EntryKey(i)); ++i)
    profile.remove(EntryKey(i));
  profile.setValue("Last", m_last);
  profile.endGroup();
  profile.sync();
}

FolderPickerDialog::FolderPickerDialog(const QString& title, const QString& start, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(title);
  const FolderHistory history = FolderHistory::Load();

  auto* label = new QLabel("Folder &name:", this);
  m_name = new QComboBox(this);
  m_name->setEditable(true);
  m_name->setInsertPolicy(QComboBox::NoInsert);
  m_name->addItems(history.Folders());
  m_name->setAccessibleName("Folder name:");
  m_name->setMinimumContentsLength(40);
  label->setBuddy(m_name);

  m_model = new QFileSystemModel(this);
  m_model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  m_model->setRootPath("/");
  m_tree = new QTreeView(this);
  m_tree->setModel(m_model);
  m_tree->setHeaderHidden(true);
  for (int column = 1; column < m_model->columnCount(); ++column) m_tree->hideColumn(column);
  m_tree->setAccessibleName("Folders");
  m_tree->setMinimumSize(420, 320);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(m_name, 1);
  // A camera is picked as a folder is; its name goes into the folder text.
  m_cameras = new QTreeWidget(this);
  m_cameras->setHeaderHidden(true);
  m_cameras->setAccessibleName("Cameras");
  m_cameras->setMaximumHeight(110);
  auto* cameras = new QTreeWidgetItem(m_cameras, QStringList("Cameras"));
  auto* first = new QTreeWidgetItem(cameras, QStringList("First camera found  (camera:)"));
  first->setData(0, Qt::UserRole, QString("camera:"));
  Placeholder(cameras, "Looking for cameras...");
  // The camera the action uses now stays a choice while it is unplugged.
  if (IsCameraSourceText(start.toStdString()) && start != "camera:") {
    m_inUse = start;
    auto* inUse = new QTreeWidgetItem(cameras, QStringList("In use  (" + start + ")"));
    inUse->setData(0, Qt::UserRole, start);
  }
  cameras->setExpanded(true);
  // Every memory card put in, each read in its DCIM folder.
  auto* cards = new QTreeWidgetItem(m_cameras, QStringList("Memory cards"));
  auto* anyCard = new QTreeWidgetItem(cards, QStringList("Any memory card  (card:)"));
  anyCard->setData(0, Qt::UserRole, QString(kCardSourceText));
  cards->setExpanded(true);
  connect(m_cameras, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (item && !item->data(0, Qt::UserRole).toString().isEmpty())
      m_name->setEditText(item->data(0, Qt::UserRole).toString());
  });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_tree, 1);
  layout->addWidget(m_cameras);
  layout->addLayout(row);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (current.isValid()) m_name->setEditText(m_model->filePath(current));
          });
  // The model lists folders in the background: the arrives in pieces, so the view follows the chosen folder
  // until the operator takes over.
  connect(m_model, &QFileSystemModel::directoryLoaded, this, [this] { KeepCurrentInView(); });
  connect(m_model, &QFileSystemModel::layoutChanged, this, [this] { KeepCurrentInView(); });
  connect(m_model, &QFileSystemModel::rowsInserted, this, [this] { KeepCurrentInView(); });
  m_tree->installEventFilter(this);
  m_tree->viewport()->installEventFilter(this);
  connect(m_name, &QComboBox::activated, this, [this](int index) { ShowInTree(m_name->itemText(index)); });

  QString shown = start;
  if (shown.isEmpty()) shown = history.Last();
  if (shown.isEmpty()) shown = QDir::homePath();
  // A Directory Browse camera opens the tree at its folder; another camera at the last folder.
  QString tree = shown;
  if (IsCardSourceText(shown.toStdString())) {
    tree = IsCardSourceText(history.Last().toStdString()) ? QString() : history.Last();
    if (tree.isEmpty()) tree = QDir::homePath();
  } else if (IsCameraSourceText(shown.toStdString())) {
    const std::optional<CameraSource> source = ParseCameraSource(shown.toStdString());
    if (source && source->kind == CameraSource::Kind::Disk) {
      tree = QString::fromStdString(source->port.substr(5));
    } else {
      tree = IsCameraSourceText(history.Last().toStdString()) ? QString() : history.Last();
      if (tree.isEmpty()) tree = QDir::homePath();
    }
  }
  ShowInTree(tree);
  m_name->setEditText(shown);
  FindCameras();
}

void FolderPickerDialog::FindCameras() {
  // The window looks for the answer now and then; a dialog closed meanwhile drops the search.
  auto search = std::make_shared<CameraSearch>();
  auto* poll = new QTimer(this);
  connect(poll, &QTimer::timeout, this, [this, poll, search] {
    const std::optional<std::vector<FoundCamera>> found = search->Result();
    if (!found) return;
    poll->stop();
    QTreeWidgetItem* cameras = m_cameras->topLevelItem(0);
    delete cameras->child(1);
    if (found->empty()) Placeholder(cameras, "No camera found");
    for (const FoundCamera& camera : *found) {
      const QString text = QString::fromStdString("camera:" + camera.port);
      if (text == m_inUse) continue;
      auto* item = new QTreeWidgetItem(
          cameras,
          QStringList(QString::fromStdString(camera.model + " on " + camera.port) + "  (" + text + ")"));
      item->setData(0, Qt::UserRole, text);
    }
  });
  poll->start(100);
}

void FolderPickerDialog::ShowInTree(const QString& folder) {
  // A folder that is gone opens the tree at its nearest existing parent.
  QString shown = QDir::cleanPath(folder);
  while (!shown.isEmpty() && !QFileInfo(shown).isDir() && shown != "/") shown = QFileInfo(shown).path();
  const QModelIndex index = m_model->index(shown);
  if (!index.isValid()) return;
  m_tree->setCurrentIndex(index);
  m_tree->expand(index);
  m_tree->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void FolderPickerDialog::KeepCurrentInView() {
  if (m_scrollPending || m_operatorMoved) return;
  // After the pending layout work (sorting, new rows), or the view would scroll to a stale place.
  m_scrollPending = true;
  QTimer::singleShot(0, this, [this] {
    m_scrollPending = false;
    if (!m_operatorMoved && m_tree->currentIndex().isValid())
      m_tree->scrollTo(m_tree->currentIndex(), QAbstractItemView::PositionAtCenter);
  });
}

bool FolderPickerDialog::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::MouseButtonPress || type == QEvent::Wheel || type == QEvent::KeyPress)
    m_operatorMoved = true;
  return QDialog::eventFilter(watched, event);
}

void FolderPickerDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  KeepCurrentInView();
}

void FolderPickerDialog::accept() {
  const QString folder = m_name->currentText();
  std::string whyNot;
  const bool camera = IsCameraSourceText(folder.toStdString());
  if (camera && !ParseCameraSource(folder.toStdString(), &whyNot)) {
    Warn(this, QString("'%1' names no camera: %2.").arg(folder, QString::fromStdString(whyNot)));
    return;
  }
  if (!camera && !IsCardSourceText(folder.toStdString()) && !CanOpen(folder)) {
    Warn(this, QString("The folder '%1' isn't accessible.").arg(folder));
    return;
  }
  if (const std::string warning = CameraSourceWarning(folder.toStdString()); !warning.empty())
    Warn(this, QString::fromStdString(warning));
  m_chosen = folder;
  FolderHistory history = FolderHistory::Load();
  history.Remember(folder);
  QDialog::accept();
}

std::optional<std::string> PickFolder(QWidget* parent, const QString& title, const QString& start) {
  FolderPickerDialog dialog(title, start, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Chosen().toStdString();
}

}  // namespace brisko
