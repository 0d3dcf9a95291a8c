#pragma once
// The menu commands "Backup settings..." and "Restore settings...": password prompt, pause of
// the run loop, file picker, the restore's question, the messages and the reload. The window
// gives them its store and what pausing and reloading mean for it.
#include <QString>
#include <functional>

class QWidget;

namespace brisko {

class SettingsStore;

struct SettingsCommandContext {
  SettingsStore& store;
  std::function<void()> beginPause;  // runs stop before their next action
  std::function<void()> endPause;    // the countdown starts again
  std::function<void()> reload;      // after a restore: settings, actions, controls
};

// Seams for tests: the file pickers, the Yes/No question and the message boxes.
struct SettingsCommandPrompts {
  std::function<QString(QWidget* parent, bool save)> pickFile;  // empty when cancelled
  std::function<bool(QWidget* parent, const QString& question)> askYesNo;
  std::function<void(QWidget* parent, const QString& text)> showMessage;
};
SettingsCommandPrompts& SettingsCommandPromptHooks();

// Both return true when the backup or restore was made.
bool BackupSettingsCommand(QWidget* parent, const SettingsCommandContext& context);
bool RestoreSettingsCommand(QWidget* parent, const SettingsCommandContext& context);

}  // namespace brisko
