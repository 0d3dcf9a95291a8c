#pragma once
// The template record shared by the rename template and the subfolder naming template: an
// ordered list of component ids with side lists of static texts, substring definitions and
// BriskoExif key names. The two kinds differ only in their component table, their store value
// names, their cleaning of operator input and the rename template's fall-back to the file's
// own name.
#include <memory>
#include <string>
#include <vector>

#include "naming/naming_inputs.h"
#include "naming/substring_def.h"
#include "scheduler/id_txt.h"

namespace brisko {

class BriskoExifFields;
class SettingsStore;

enum class TemplateKind { kRename, kSubfolder };

struct FileTimes;

class NameTemplate {
 public:
  explicit NameTemplate(TemplateKind kind);
  NameTemplate(const NameTemplate& other);
  NameTemplate& operator=(const NameTemplate& other);
  NameTemplate(NameTemplate&&) noexcept = default;
  NameTemplate& operator=(NameTemplate&&) noexcept = default;
  ~NameTemplate() = default;

  TemplateKind Kind() const { return m_kind; }

  // The component table of a kind: 60 rename components, 54 subfolder components (ids 0-53).
  static int ComponentCount(TemplateKind kind);
  static const char* MenuText(TemplateKind kind, unsigned id);      // "" for an unknown id
  static const char* DisplayToken(TemplateKind kind, unsigned id);  // "" for an unknown id
  // The ids that carry a static text, a substring definition and a custom key.
  static unsigned TextComponentId(TemplateKind kind);
  static unsigned SubstringComponentId(TemplateKind kind);
  static unsigned CustomKeyComponentId(TemplateKind kind);

  // The new name (name and extension, no folder) of the file at `path`. Without an ID.TXT
  // record a template that uses an ID.TXT text keeps the file's own name, as does a template
  // giving nothing. Empty when the file's status cannot be read, unless `test` is set (then the
  // program's own file lends its times). Never holds "/" or NUL, is never "." or "..", and is at
  // most 255 bytes (cut keeping the extension). With `context.listed` the name, extension and
  // times are those of the photo as listed; `path` still lends its EXIF data.
  std::string GenerateNewName(const std::string& path, const CIdTxt* idTxt, const BriskoExifFields& fields,
                              bool test, const NamingContext& context) const;

  // The subfolder (a relative path with "/" between its folders; may be empty) for the file at
  // `path`. "\" in the generated text separates folders. The result never starts with "/" and
  // has no empty, "." or ".." component, so it cannot leave the destination folder.
  std::string GenerateSubfolderName(const CIdTxt* idTxt, const BriskoExifFields& fields,
                                    const std::string& path, const NamingContext& context) const;

  // True when the result for a file depends on nothing but the file (its name, times and
  // EXIF data) and fixed texts: no clock, counter, barcode, operator text or ID.TXT.
  bool DependsOnFileOnly() const;

  // Appends a component; the text component and the custom key component take `text`, and
  // with an empty text nothing is added (false). False also for an id outside the table.
  bool AddComponent(unsigned id, const std::string& text = std::string());
  void AddSubstring(std::unique_ptr<SubstringDef> def);
  void Clear();
  std::string GetDisplayString() const;

  // Read and written in the action's section ("Action_%d").
  void Load(SettingsStore& store, const std::string& section);
  bool Save(SettingsStore& store, const std::string& section) const;

  bool operator==(const NameTemplate& other) const;

  std::vector<unsigned> m_ComponentArray;
  std::vector<std::string> m_StaticTextArray;
  std::vector<std::unique_ptr<SubstringDef>> m_SubstringPtrList;
  std::vector<std::string> m_BriskoExifKeysArray;

 private:
  std::string Generate(const std::string& path, const CIdTxt* idTxt, const BriskoExifFields& fields,
                       const NamingContext& context, const FileTimes* times, bool* idTxtValueUsed) const;

  TemplateKind m_kind;
};

// A stored list longer than this is read only this far: a damaged count must not make loading
// walk billions of missing values.
inline constexpr int kMaxStoredTemplateEntries = 1000;

// How an action stores its two templates, in its section after m_bEnabled: the rename template
// only while renaming is on (so a template switched off is lost at the next save and load), the
// subfolder template always. Loading with renaming off leaves the rename template empty.
bool SaveActionTemplates(SettingsStore& store, const std::string& section, bool renameFile,
                         const NameTemplate& renameTemplate, const NameTemplate& subfolderTemplate);
void LoadActionTemplates(SettingsStore& store, const std::string& section, bool renameFile,
                         NameTemplate& renameTemplate, NameTemplate& subfolderTemplate);

}  // namespace brisko
