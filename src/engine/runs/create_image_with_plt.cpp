// Create Image with PLT: every selected photo rendered into every template of an album.
#include <cstdio>
#include <new>

#include "engine/base/run_support.h"
#include "engine/runs/action_run.h"
#include "layout/render_rules.h"
#include "layout/template_album.h"
#include "layout/template_render.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "support/settings_store.h"

namespace brisko {

namespace {}  // namespace

bool ActionRun::CreateImagesWithPlt(const std::vector<std::string>& files) {
  TemplateAlbum album;
  std::string message;
  if (!album.Load(m_settings.m_strBriskoPltFilepath, &message)) {
    // Nothing is produced and no photo is marked done; the operator needs to see why.
    LogMessage("FAILED: Load PLT file " + m_settings.m_strBriskoPltFilepath);
    if (!message.empty()) LogMessage(message);
    return false;
  }
  SettingsStore& store = m_host->Store();
  const int sharpen = store.GetProfileInt("Settings", "iSharpenAmount", 20);
  const int soften = store.GetProfileInt("Settings", "iSoftenAmount", 30);
  // Album images used by several templates are decoded once per photo.
  RenderSession session(album);
  for (auto& t : album.m_Templates) {
    TemplateRenderState& state = t->RenderState();
    state.sharpenAmount = sharpen;
    state.softenAmount = soften;
    state.logger = &m_host->GetLogger();
    state.session = &session;
  }

  const std::string description = GetDescription();
  const int fileCount = int(files.size());
  const int templateCount = int(album.m_Templates.size());
  bool result = true;
  for (int i = 0; i < fileCount; ++i) {
    const std::string& file = files[size_t(i)];
    session.BeginPhoto();
    const PathParts parts = SplitPath(file);
    BriskoExifFields fields;
    ReadFields(file, fields);

    // The tagged copy is the same for every template of the file, so it is made once.
    std::string photo = file;
    std::string tagged;
    if (m_settings.m_bAddOrUpdateBriskoExif) {
      const StationValues& values = m_host->Values();
      CompleteFieldsForWrite(fields, file, m_pIdTxt, values.m_strBarcodeInputsArray,
                             values.m_strOperatorSelectedText,
                             BriskoExifCustomMap(m_settings.m_BriskoExifCustomActionFieldsMap));
      tagged = GetTempFolder() + parts.name + parts.extension;
      MakeUniqueFileName(tagged);
      if (fields.WriteToFile(file, tagged, DefaultExifAccess()))
        photo = tagged;
      else
        tagged.clear();
    }

    bool stopped = false;
    for (int j = 0; j < templateCount; ++j) {
      // A page can take seconds: an exit asked for meanwhile is not kept waiting for the album.
      if (m_host->StopWaitingForProgram()) {
        stopped = true;
        break;
      }
      char status[96];
      std::snprintf(status, sizeof status, "File %d of %d, Template %d of %d", i + 1, fileCount, j + 1,
                    templateCount);
      m_host->SetProgress(i * templateCount + j, fileCount * templateCount, description, status);
      CTemplate& tmpl = *album.m_Templates[size_t(j)];

      std::string name = parts.name + parts.extension;
      if (m_settings.m_bRenameFile) {
        std::string newName =
            m_settings.m_RenameTemplate.GenerateNewName(file, m_pIdTxt, fields, false, MakeNamingContext());
        if (!newName.empty()) name = std::move(newName);
      }
      name = PageFileName(name);
      std::string target = GetDestinationFolder(file, fields) + name;
      MakeUniqueFileName(target);
      std::string temp = GetTempFolder() + name;
      MakeUniqueFileName(temp);

      bool ok = false;
      std::string why;
      try {
        tmpl.SetPhoto(photo, 0);
        ok = tmpl.SaveTemplateImage(temp, 1);
        if (!ok) why = tmpl.RenderState().lastFailure;
      } catch (const std::bad_alloc&) {
        why = "out of memory while rendering";
      }
      std::string placed = target;
      if (ok) {
        std::vector<std::string> arrived;
        ok = CopyOrMoveFilesUsingShell(false, {temp}, {target}, &arrived);
        if (ok && !arrived.empty() && !arrived[0].empty()) placed = arrived[0];
      }
      if (ok) {
        LogMessage(FillIn("Created file from PLT file %s to %s", file, placed));
      } else {
        LogMessage(FillIn("Failed: create file from PLT file %s to %s", file, target));
        if (!why.empty()) LogMessage("  Reason: " + why);
        // A picture that did not reach its place is only a by-product; the photo is untouched.
        if (PathExists(temp)) DeleteFile(temp);
        result = false;
      }
    }
    if (!tagged.empty()) DeleteFile(tagged);
    if (stopped) {
      // Not marked done: the photo is rendered again at the next start.
      LogMessage("Stopped: exit requested before every template of " + file + " was made");
      return false;
    }

    // Marked done even when a template failed, so a bad template cannot make the hot folder
    // render the same photo for ever; the failures are in the action log.
    std::string done = file + ".done";
    MakeUniqueFileName(done);
    int err = 0;
    if (!MoveFile(file, done, Collision::Fail, nullptr, &err)) {
      LogMessage(FillIn("FAILED: Rename %s to %s", file, done));
      LogMessage(ErrnoText(err));
      result = false;
    }
  }
  return result;
}

}  // namespace brisko
