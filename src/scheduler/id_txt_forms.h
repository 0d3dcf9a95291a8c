#pragma once
// The "ID.TXT" viewer/editor and the "Edit ID.TXT file..." menu flow, without widgets.
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "scheduler/id_txt.h"

namespace brisko {

class SettingsStore;

class IdTxtEditForm {
 public:
  static constexpr const char* kCaption = "ID.TXT";
  static constexpr std::array<const char*, 6> kLabels = {
      "Photographer:", "Event:", "Card:", "Additional 1:", "Additional 2:", "Additional 3:"};
  static constexpr const char* kBatchLabel = "New Batch ID: ";
  static constexpr const char* kEditButton = "&Edit";
  static constexpr const char* kCancelButton = "Cancel";

  enum class Result { Ok, Cancel };

  // Fills the boxes from `record`; the form is a viewer until Edit() is pressed.
  explicit IdTxtEditForm(CIdTxt& record);

  std::string& Box(size_t index) { return m_boxes.at(index); }
  const std::string& Box(size_t index) const { return m_boxes.at(index); }
  std::string BatchText() const { return std::to_string(m_record.m_iBatchID); }

  bool Editing() const { return m_editing; }
  bool BoxesReadOnly() const { return !m_editing; }
  bool CancelVisible() const { return m_editing; }
  bool EditVisible() const { return !m_editing; }
  const char* OkCaption() const { return m_editing ? "OK" : "Close"; }

  void Edit() { m_editing = true; }
  // OK in edit mode copies the boxes into the record and ends with Ok; "Close" ends with Cancel
  // and leaves the record as it was.
  Result PressOk();
  Result PressCancel() { return Result::Cancel; }

 private:
  CIdTxt& m_record;
  std::array<std::string, 6> m_boxes;
  bool m_editing = false;
};

// "Edit ID.TXT file...": pick a folder, read or start its ID.TXT, show the editor, write on OK.
// One object per station so that the picker starts at the folder chosen last in this process.
class EditIdTxtFlow {
 public:
  static constexpr const char* kPickerTitle = "Select ID.TXT Folder";

  // title, start folder -> chosen folder, nullopt when cancelled
  using PickFolderFn = std::function<std::optional<std::string>(const std::string&, const std::string&)>;
  // Shows the editor over the record; true when it ended with OK.
  using EditFn = std::function<bool(CIdTxt&)>;

  enum class Outcome { PickerCancelled, EditorClosed, Written, WriteFailed };
  struct Result {
    Outcome outcome = Outcome::PickerCancelled;
    std::string path;  // the ID.TXT the editor showed
    int error = 0;     // errno when the write failed
  };

  explicit EditIdTxtFlow(SettingsStore* store) : m_store(store) {}

  Result Run(const PickFolderFn& pickFolder, const EditFn& edit);
  // The last folder chosen in this process, the home folder before that.
  std::string StartFolder() const;

 private:
  SettingsStore* m_store;
  std::string m_lastFolder;
};

// $HOME, else the password database's home, else "/".
std::string HomeFolder();

}  // namespace brisko
