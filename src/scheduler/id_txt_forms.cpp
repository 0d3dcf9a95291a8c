#include "scheduler/id_txt_forms.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace brisko {

IdTxtEditForm::IdTxtEditForm(CIdTxt& record) : m_record(record) {
  for (size_t i = 0; i < m_boxes.size(); ++i) m_boxes[i] = record.Text(i);
}

IdTxtEditForm::Result IdTxtEditForm::PressOk() {
  if (!m_editing) return Result::Cancel;
  for (size_t i = 0; i < m_boxes.size(); ++i) m_record.Text(i) = m_boxes[i];
  return Result::Ok;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string EditIdTxtFlow::StartFolder() const {
  return m_lastFolder.empty() ? HomeFolder() : m_lastFolder;
}

EditIdTxtFlow::Result EditIdTxtFlow::Run(const PickFolderFn& pickFolder, const EditFn& edit) {
  Result result;
  std::optional<std::string> folder = pickFolder ? pickFolder(kPickerTitle, StartFolder()) : std::nullopt;
  if (!folder) return result;
  m_lastFolder = *folder;

  CIdTxt record(m_store);
  if (!record.ReadFromFolders({*folder})) {
    std::string path = *folder;
    if (path.empty() || path.back() != '/') path += '/';
    record.m_strFilePath = path + kIdTxtFileName;
    record.m_iBatchID = record.NewBatchId();
  }
  result.path = record.m_strFilePath;
  if (!edit || !edit(record)) {
    result.outcome = Outcome::EditorClosed;
    return result;
  }
  if (record.Write(record.m_strFilePath, false)) {
    result.outcome = Outcome::Written;
  } else {
    result.outcome = Outcome::WriteFailed;
    result.error = record.LastError();
  }
  return result;
}

}  // namespace brisko
