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

namespace {

// The station's sharpen and soften amounts and one render session for every template.
void PrepareTemplates(TemplateAlbum& album, RenderSession& session, RunHost& host) {
  SettingsStore& store = host.Store();
  const int sharpen = store.GetProfileInt("Settings", "iSharpenAmount", 20);
  const int soften = store.GetProfileInt("Settings", "iSoftenAmount", 30);
  for (auto& t : album.m_Templates) {
    TemplateRenderState& state = t->RenderState();
    state.sharpenAmount = sharpen;
    state.softenAmount = soften;
    state.logger = &host.GetLogger();
    state.session = &session;
  }
}

// The photo with its BriskoExif block, in the temp folder, when the action adds one; "" when
// it does not or the copy failed (the photo is then rendered as it is).
std::string TaggedCopy(ActionRun& run, const std::string& file, BriskoExifFields& fields) {
  std::string tagged;
  if (run.m_settings.m_bAddOrUpdateBriskoExif) {
    const PathParts parts = SplitPath(file);
    const StationValues& values = run.Host().Values();
    CompleteFieldsForWrite(fields, file, run.m_pIdTxt, values.m_strBarcodeInputsArray,
                           values.m_strOperatorSelectedText,
                           BriskoExifCustomMap(run.m_settings.m_BriskoExifCustomActionFieldsMap));
    tagged = run.GetTempFolder() + parts.name + parts.extension;
    ActionRun::MakeUniqueFileName(tagged);
    if (!fields.WriteToFile(file, tagged, DefaultExifAccess())) tagged.clear();
  }
  return tagged;
}

// One page of the photo into `temp`; false with the reason (when known) in `why`.
bool RenderPage(CTemplate& tmpl, const std::string& photo, const std::string& temp, std::string& why) {
  bool ok = false;
  try {
    tmpl.SetPhoto(photo, 0);
    ok = tmpl.SaveTemplateImage(temp, 1);
    if (!ok) why = tmpl.RenderState().lastFailure;
  } catch (const std::bad_alloc&) {
    why = "out of memory while rendering";
  }
  return ok;
}

// A rendered page from the temp folder to its target, and the log line either way.
bool PlacePage(ActionRun& run, const std::string& file, const std::string& temp, const std::string& target,
               bool ok, const std::string& why) {
  std::string placed = target;
  if (ok) {
    std::vector<std::string> arrived;
    ok = run.CopyOrMoveFilesUsingShell(false, {temp}, {target}, &arrived);
    if (ok && !arrived.empty() && !arrived[0].empty()) placed = arrived[0];
  }
  if (ok) {
    run.LogMessage(FillIn("Created file from PLT file %s to %s", file, placed));
  } else {
    run.LogMessage(FillIn("Failed: create file from PLT file %s to %s", file, target));
    if (!why.empty()) run.LogMessage("  Reason: " + why);
    // A picture that did not reach its place is only a by-product; the photo is untouched.
    if (PathExists(temp)) DeleteFile(temp);
  }
  return ok;
}

// Marked done even when a template failed, so a bad template cannot make the hot folder
// render the same photo for ever; the failures are in the action log.
bool MarkDone(const ActionRun& run, const std::string& file) {
  std::string done = file + ".done";
  ActionRun::MakeUniqueFileName(done);
  int err = 0;
  if (!MoveFile(file, done, Collision::Fail, nullptr, &err)) {
    run.LogMessage(FillIn("FAILED: Rename %s to %s", file, done));
    run.LogMessage(ErrnoText(err));
    return false;
  }
  return true;
}

}  // namespace

bool ActionRun::CreateImagesWithPlt(const std::vector<std::string>& files) {
  TemplateAlbum album;
  std::string message;
  if (!album.Load(m_settings.m_strBriskoPltFilepath, &message)) {
    // Nothing is produced and no photo is marked done; the operator needs to see why.
    LogMessage("FAILED: Load PLT file " + m_settings.m_strBriskoPltFilepath);
    if (!message.empty()) LogMessage(message);
    return false;
  }
  // Album images used by several templates are decoded once per photo.
  RenderSession session(album);
  PrepareTemplates(album, session, *m_host);

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
    const std::string tagged = TaggedCopy(*this, file, fields);
    const std::string photo = tagged.empty() ? file : tagged;

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

      std::string why;
      const bool ok = RenderPage(tmpl, photo, temp, why);
      if (!PlacePage(*this, file, temp, target, ok, why)) result = false;
    }
    if (!tagged.empty()) DeleteFile(tagged);
    if (stopped) {
      // Not marked done: the photo is rendered again at the next start.
      LogMessage("Stopped: exit requested before every template of " + file + " was made");
      return false;
    }
    if (!MarkDone(*this, file)) result = false;
  }
  return result;
}

}  // namespace brisko
