#include "app/first_start.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "app/station.h"
#include "engine/action/action_field_edit.h"
#include "engine/action/action_form.h"
#include "engine/base/card_source.h"
#include "support/file_ops.h"

namespace brisko {

namespace {

// The subfolder component "EXIF Date (JPG only) Date picture taken YYYY-mm-dd" (RAW and HEIF
// files give their date taken too).
constexpr const char* kDateTakenComponent = "31";

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

}  // namespace

std::string FirstStartDestination() {
  return HomeFolder() + "/Pictures/Brisko/";
}

std::vector<std::string> SetUpFirstStart(Station& station) {
  station.LoadSettings();
  if (!station.Actions().empty()) return {};
  const std::string destination = FirstStartDestination();
  int err = 0;
  if (!CreateFolderPath(destination, &err))
    return {"No first action made: cannot create " + destination + ": " + ErrnoText(err)};
  std::unique_ptr<Action> action = station.NewAction();
  ActionForm form(*action);
  // Through the editor's rules, as if made in the window.
  const std::vector<FieldAssignment> fields = {
      {"m_iType", "Copy Files"},
      {"m_strName", kFirstStartActionName},
      {"m_strSourceFolder", kCardSourceText},
      {"m_strDestFolder", destination},
      {"m_strFileSpec", "*"},
      {"m_bIncludeSubFolders", "1"},
      {"m_bCreateNewSubfolder", "1"},
      {"m_iCreateNewSubfolderFrequency", "3"},
      {"m_SubFolderComponentArray", kDateTakenComponent},
      {"m_bAutoRotateJPG", "1"},
      {"m_bKeepShotsTogether", "1"},
      {"m_iScheduleType", "0"},
  };
  if (auto why = ApplyFieldAssignments(form, fields)) return {"No first action made: " + *why};
  Action& added = *action;
  station.AppendAction(std::move(action));
  station.ArmSchedule(added);
  station.SaveActions();
  return {
      std::string("Added the action \"") + kFirstStartActionName +
          "\": the photos of every memory card put in " + "(its DCIM folder) are copied to " + destination +
          " into a folder per date taken, turned upright, RAW and JPEG of a shot together; the card keeps "
          "them",
      "  Change or switch it off in Settings > Configure actions..., or from a shell: brisko-workflow "
      "actions show 1, brisko-workflow actions disable 1"};
}

}  // namespace brisko
