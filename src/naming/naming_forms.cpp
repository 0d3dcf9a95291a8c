#include "naming/naming_forms.h"

#include <algorithm>

#include "naming/exif_access.h"
#include "naming/naming_text.h"

namespace brisko {

std::optional<FormMessage> StaticTextForm::OnTextChanged(const std::string& text) {
  const bool file = m_kind == TemplateKind::kRename;
  const char* forbidden = file ? kForbiddenFileNameChars : kForbiddenSubfolderChars;
  if (!ContainsAnyOf(text, forbidden)) {
    m_text = text;
    return std::nullopt;
  }
  m_text = RemoveChars(text, forbidden);
  return FormMessage{"Invalid character",
                     file ? "File names cannot contain any of the following characters: \\/?*:\"<>|"
                          : "Subfolder names cannot contain any of the following characters: /?*:\"<>|"};
}

SubstringEditorForm::SubstringEditorForm(SubstringDef& def, const std::string& sample)
    : m_def(def), m_sample(sample.empty() ? kDefaultSample : sample) {}

const std::vector<std::string>& SubstringEditorForm::OrdinalLabels() {
  static const std::vector<std::string> labels = [] {
    std::vector<std::string> out = {"1st", "2nd", "3rd"};
    for (int i = 4; i <= 30; ++i) out.push_back(std::to_string(i) + "th");
    return out;
  }();
  return labels;
}

std::string SubstringEditorForm::GroupCaption() const {
  return m_def.m_bFromLeft ? "Substring Defined from the LEFT side" : "Substring Defined from the RIGHT side";
}

std::string SubstringEditorForm::StartType0Label() const {
  return m_def.m_bFromLeft ? "from the beginning of the filename" : "from the end of the filename";
}

std::string SubstringEditorForm::EndType0Label() const {
  return m_def.m_bFromLeft ? "to the end of the filename" : "to the beginning of the filename";
}

void SubstringEditorForm::ChooseFromOrdinal(int index) {
  m_def.m_iFromChar = index;
  m_def.m_iFromType = SubstringDef::kFromChar;
}

void SubstringEditorForm::ChooseToOrdinal(int index) {
  m_def.m_iToChar = index;
  m_def.m_iToType = SubstringDef::kToChar;
}

void SubstringEditorForm::SetFromFirstMatch(const std::string& text) {
  m_def.m_strFromFirstMatch = text;
  m_def.m_iFromType = SubstringDef::kFromFirstMatch;
}

void SubstringEditorForm::SetFromLastMatch(const std::string& text) {
  m_def.m_strFromLastMatch = text;
  m_def.m_iFromType = SubstringDef::kFromLastMatch;
}

void SubstringEditorForm::SetToFirstMatch(const std::string& text) {
  m_def.m_strToFirstMatch = text;
  m_def.m_iToType = SubstringDef::kToFirstMatch;
}

void SubstringEditorForm::SetToLastMatch(const std::string& text) {
  m_def.m_strToLastMatch = text;
  m_def.m_iToType = SubstringDef::kToLastMatch;
}

std::string SubstringEditorForm::SetLengthText(const std::string& text) {
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') continue;
    value = std::min(value * 10 + (c - '0'), 2147483647LL);
  }
  if (value < 1) {
    m_def.m_iLength = 1;
    return "1";
  }
  m_def.m_iLength = static_cast<int>(value);
  return std::to_string(value);
}

TemplateEditorForm::TemplateEditorForm(NameTemplate& tmpl, NamingContext context, ExifAccess& exif)
    : m_template(tmpl), m_context(std::move(context)), m_exif(exif) {
  m_context.exif = &m_exif;
  // A test must not use up batch IDs: it always runs with an (empty) ID.TXT record.
  m_context.newBatchId = nullptr;
  Refresh();
  RunTest();
}

std::string TemplateEditorForm::Caption() const {
  return IsRename() ? "Rename File Template Editor" : "Edit Subfolder Name Template";
}

std::string TemplateEditorForm::ListLabel() const {
  return IsRename() ? "File name components" : "Subfolder name components";
}

std::string TemplateEditorForm::ResultLabel() const {
  return IsRename() ? "Rename result:" : "Create Folder result:";
}

std::vector<TemplateEditorForm::Item> TemplateEditorForm::Items() const {
  std::vector<Item> items;
  const TemplateKind kind = m_template.Kind();
  for (int id = 0; id < NameTemplate::ComponentCount(kind); ++id) {
    items.push_back({NameTemplate::MenuText(kind, static_cast<unsigned>(id)), static_cast<unsigned>(id)});
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.text < b.text; });
  return items;
}

TemplateEditorForm::AddStep TemplateEditorForm::Add(unsigned id) {
  const TemplateKind kind = m_template.Kind();
  if (id == NameTemplate::TextComponentId(kind)) return AddStep::kNeedStaticText;
  if (id == NameTemplate::CustomKeyComponentId(kind)) return AddStep::kNeedKey;
  if (id == NameTemplate::SubstringComponentId(kind)) return AddStep::kNeedSubstring;
  bool added = m_template.AddComponent(id);
  Refresh();
  RunTest();
  return added ? AddStep::kAdded : AddStep::kRefused;
}

void TemplateEditorForm::CompleteAddText(const std::string& text) {
  m_template.AddComponent(NameTemplate::TextComponentId(m_template.Kind()), text);
  Refresh();
  RunTest();
}

void TemplateEditorForm::CompleteAddKey(const std::string& key) {
  m_template.AddComponent(NameTemplate::CustomKeyComponentId(m_template.Kind()), key);
  Refresh();
  RunTest();
}

void TemplateEditorForm::CompleteAddSubstring(std::unique_ptr<SubstringDef> def) {
  if (def) m_template.AddSubstring(std::move(def));
  Refresh();
  RunTest();
}

std::string TemplateEditorForm::SubstringSample() const {
  return SplitPath(m_sample).name;
}

void TemplateEditorForm::Clear() {
  m_template.Clear();
  Refresh();
  RunTest();
}

void TemplateEditorForm::SetSample(const std::string& sample) {
  m_sample = sample;
  if (IsRename()) RunTest();
}

void TemplateEditorForm::SelectActualFile(const std::string& path) {
  PathParts parts = SplitPath(path);
  m_actualFile = path;
  m_sample = parts.name + parts.extension;
  RunTest();
}

void TemplateEditorForm::Refresh() {
  m_line = m_template.GetDisplayString();
}

void TemplateEditorForm::RunTest() {
  if (IsRename() && m_sample.empty()) return;
  std::string path = m_sample;
  if (!m_actualFile.empty()) {
    PathParts parts = SplitPath(m_actualFile);
    if (parts.name + parts.extension == m_sample) path = m_actualFile;
  }
  CIdTxt emptyRecord;
  BriskoExifFields fields;
  fields.ReadFromFile(path, m_exif);
  if (IsRename()) {
    m_result = m_template.GenerateNewName(path, &emptyRecord, fields, true, m_context);
  } else {
    m_result = m_template.GenerateSubfolderName(&emptyRecord, fields, path, m_context);
  }
}

CustomFieldsForm::CustomFieldsForm(const BriskoExifCustomMap& actionFields,
                                   const BriskoExifCustomMap& knownNames)
    : m_edited(actionFields), m_known(knownNames) {}

std::vector<std::string> CustomFieldsForm::Lines() const {
  std::vector<std::string> lines;
  for (const auto& [name, value] : m_edited.Entries()) lines.push_back(name + " = " + value);
  return lines;
}

std::vector<std::string> CustomFieldsForm::KnownNames() const {
  std::vector<std::string> names;
  for (const auto& entry : m_known.Entries()) names.push_back(entry.first);
  return names;
}

std::optional<FormMessage> CustomFieldsForm::Add(const std::string& name, const std::string& value) {
  if (ContainsAnyOf(name, kForbiddenFieldChars) || ContainsAnyOf(value, kForbiddenFieldChars)) {
    return FormMessage{
        "Invalid character in name and/or value",
        "Please do not use any of the following characters in the name or value: \\/?*:\"<>|="};
  }
  if (name.empty() || value.empty()) {
    return FormMessage{"Please enter a name and value",
                       "Please enter a Name and Value for the new Custom BriskoEXIF field"};
  }
  m_edited.Set(name, value);
  return std::nullopt;
}

void CustomFieldsForm::Delete(const std::string& line) {
  size_t sep = line.find(" = ");
  m_edited.Remove(sep == std::string::npos ? line : line.substr(0, sep));
}

void CustomFieldsForm::Ok(BriskoExifCustomMap& actionFields, BriskoExifCustomMap& knownNames) const {
  actionFields.Assign(m_edited);
  knownNames.Merge(m_edited);
}

std::vector<std::string> SelectKeyForm::KnownNames() const {
  std::vector<std::string> names;
  for (const auto& entry : m_known.Entries()) names.push_back(entry.first);
  return names;
}

std::optional<FormMessage> SelectKeyForm::Ok(const std::string& key) const {
  if (key.empty() || ContainsAnyOf(key, kForbiddenFieldChars)) {
    return FormMessage{"Invalid character in key name",
                       "Please do not use any of the following characters in the key name: \\/?*:\"<>|="};
  }
  return std::nullopt;
}

}  // namespace brisko
