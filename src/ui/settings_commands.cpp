#include "ui/settings_commands.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>

#include "scheduler/backup_restore.h"
#include "support/settings_store.h"
#include "ui/password_dialogs.h"

namespace brisko {
namespace {

QString Caption(QWidget* parent) {
  return parent ? parent->window()->windowTitle() : QCoreApplication::applicationName();
}

QString PickFile(QWidget* parent, bool save) {
  QFileDialog dialog(parent, save ? "Backup settings" : "Restore settings");
  dialog.setNameFilter("Brisko Workflow Backup (*.BriskoWorkflowBackup)");
  dialog.setDefaultSuffix(kBackupDefaultExtension);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  // A save dialog asks before it overwrites an existing file (Qt's default).
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

// Runs stop before their next action while the command is open; the countdown restarts after.
class PauseScope {
 public:
  explicit PauseScope(const SettingsCommandContext& context) : m_context(context) {
    if (m_context.beginPause) m_context.beginPause();
  }
  ~PauseScope() {
    if (m_context.endPause) m_context.endPause();
  }
  PauseScope(const PauseScope&) = delete;
  PauseScope& operator=(const PauseScope&) = delete;

 private:
  const SettingsCommandContext& m_context;
};

// Takes the Escape key for itself while a backup pumps events: it cancels the backup
// instead of reaching the window, where it would ask to shut down.
class EscapeWatcher : public QObject {
 public:
  EscapeWatcher() { QCoreApplication::instance()->installEventFilter(this); }
  ~EscapeWatcher() override { QCoreApplication::instance()->removeEventFilter(this); }
  bool Pressed() const { return m_pressed; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
      if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        m_pressed = true;
        event->accept();
        return true;
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool m_pressed = false;
};

const SettingsCommandPrompts& Prompts() {
  SettingsCommandPrompts& hooks = SettingsCommandPromptHooks();
  if (!hooks.pickFile) hooks.pickFile = PickFile;
  if (!hooks.askYesNo) {
    hooks.askYesNo = [](QWidget* parent, const QString& question) {
      return QMessageBox::question(parent, Caption(parent), question, QMessageBox::Yes | QMessageBox::No) ==
             QMessageBox::Yes;
    };
  }
  if (!hooks.showMessage) {
    hooks.showMessage = [](QWidget* parent, const QString& text) {
      QMessageBox::information(parent, Caption(parent), text);
    };
  }
  return hooks;
}

std::string LocalPath(const QString& file) {
  return QFile::encodeName(file).toStdString();
}

}  // namespace

SettingsCommandPrompts& SettingsCommandPromptHooks() {
  static SettingsCommandPrompts hooks;
  return hooks;
}

bool BackupSettingsCommand(QWidget* parent, const SettingsCommandContext& context) {
  if (!ConfirmPassword(parent, context.store)) return false;
  PauseScope pause(context);
  const SettingsCommandPrompts& prompts = Prompts();
  const QString file = prompts.pickFile(parent, true);
  if (file.isEmpty()) return false;
  bool ok;
  {
    EscapeWatcher escape;
    ok = BackupSettings(context.store, LocalPath(file), context.store.RootPath(), [&escape] {
      QCoreApplication::processEvents();
      return !escape.Pressed();
    });
  }
  if (!ok) prompts.showMessage(parent, kBackupFailedMessage);
  return ok;
}

bool RestoreSettingsCommand(QWidget* parent, const SettingsCommandContext& context) {
  if (!ConfirmPassword(parent, context.store)) return false;
  PauseScope pause(context);
  const SettingsCommandPrompts& prompts = Prompts();
  if (!prompts.askYesNo(parent, kRestoreQuestion)) return false;
  const QString file = prompts.pickFile(parent, false);
  if (file.isEmpty()) return false;
  const bool ok = RestoreSettings(context.store, LocalPath(file), [&](const std::string& text) {
    prompts.showMessage(parent, QString::fromStdString(text));
  });
  if (!ok) {
    prompts.showMessage(parent, kRestoreFailedMessage);
    return false;
  }
  if (context.reload) context.reload();
  prompts.showMessage(parent, kRestoreSucceededMessage);
  return true;
}

}  // namespace brisko
