#include "engine/action/action_field_edit.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>

#include "engine/action/action_fields.h"
#include "engine/action/action_form.h"
#include "naming/naming_forms.h"
#include "support/text.h"

namespace brisko {

namespace {

struct Meaning {
  const char* name;
  const char* text;
};

// One line per stored value, as "actions show" and the guide explain it.
const Meaning kMeanings[] = {
    {"m_iType",
     "what the action does: 0 Delete Files, 1 Move Files, 2 Copy Files, 3 Move Files from Media, 4 Delete "
     "Subfolders, 5 Move Subfolders, 6 Copy Subfolders, 7 Create Image with PLT, 8 Print Files"},
    {"m_strName", "the action's name, shown in the log and the list"},
    {"m_strSourceFolder",
     "where the files are taken from: a folder, card: (every memory card put in) or camera: (a camera on "
     "USB)"},
    {"m_strDestFolder", "where the files go (not used by the delete types)"},
    {"m_strFileSpec", "which files: masks such as *.jpg|*.cr2 (\"|\" between entries; * for every file)"},
    {"m_strFileSpecExclude", "files to leave alone, in the same form"},
    {"m_bUseRegexFilespec", "1: the two specifications are regular expressions, not masks"},
    {"m_iFileAge", "a file is taken only once it is this old (in m_iFileAgeUnits; 0: at once)"},
    {"m_iFileAgeUnits", "unit of m_iFileAge: 0 minutes, 1 hours, 2 days, 3 seconds"},
    {"m_iLeaveMinFilecount", "the newest files (shots) left behind in the source"},
    {"m_bRenameFile", "1: files get new names from the rename template (m_ComponentArray)"},
    {"m_bCreateNewSubfolder", "1: files go into subfolders named by m_iCreateNewSubfolderFrequency"},
    {"m_iCreateNewSubfolderFrequency",
     "subfolder: 0 one per hour, 1 one per day, 2 one per month, 3 the subfolder template "
     "(m_SubFolderComponentArray)"},
    {"m_iFileCounter", "the station's file counter (kept in every action's section; not set per action)"},
    {"m_iBatchCounter", "the station's batch counter (kept in every action's section; not set per action)"},
    {"m_bEnabled", "1: the action runs; 0: it is kept but never runs"},
    {"m_ComponentArray", "rename template: component numbers in order (see the guide's component table)"},
    {"m_StaticTextArray", "rename template: the texts of its text components (3), in order"},
    {"m_SubstringPtrList", "rename template: substring definitions (made in the window's template editor)"},
    {"m_BriskoExifKeysArray", "rename template: the keys of its BriskoExif custom field components (59)"},
    {"m_SubFolderComponentArray",
     "subfolder template: component numbers in order (see the guide's component table)"},
    {"m_SubFolderStaticTextArray", "subfolder template: the texts of its text components (0), in order"},
    {"m_SubFolderSubstringPtrList",
     "subfolder template: substring definitions (made in the window's template editor)"},
    {"m_SubFolderBriskoExifKeysArray",
     "subfolder template: the keys of its BriskoExif custom field components (53)"},
    {"m_bDisplayIdTxtContents", "Move Files from Media: show the card's ID.TXT after the move"},
    {"m_bCreateIDTxtFile", "Move Files from Media: write an ID.TXT on a card that has none"},
    {"m_bUpdateFileTimestamp", "Move Files, Move Files from Media: the moved file's time becomes now"},
    {"m_bModifyReadOnlyAttribute",
     "Move Files, Move Files from Media: 1 sets write protection by m_bMakeReadOnly"},
    {"m_bMakeReadOnly",
     "with m_bModifyReadOnlyAttribute: 1 write-protects the moved file, 0 makes it writable"},
    {"m_iScheduleType",
     "when it runs: 0 continuously, 1 at shutdown, 2 at a time of day, 3 at an interval, 4 at start, 5 on a "
     "command, 6 when a barcode is scanned"},
    {"m_uiScheduleTime", "time of day (schedule 2): the hour, 0 to 23"},
    {"m_uiScheduleTimeMins", "time of day (schedule 2): the minute, 0 to 59"},
    {"m_iuCommandIndex", "on a command (schedule 5): the command, 0 to 19 for Command 1 to 20"},
    {"m_bUseExternalExe", "1: each copied or moved file is handed to the program m_strExternalExeFilepath"},
    {"m_bUseExternalArgs", "1: the program gets m_strExternalExeArgs"},
    {"m_bAppendArgs", "1: the arguments follow the file's path; 0: they come before it"},
    {"m_strExternalExeFilepath", "the program a file is handed to"},
    {"m_strExternalExeArgs", "its arguments (split like a shell splits them, nothing expanded)"},
    {"m_bAutoRotateJPG",
     "Move Files, Move Files from Media: photos are turned upright by their EXIF orientation"},
    {"m_bAutoRotateUseSubfolder", "with m_bAutoRotateJPG: turned photos go into a \"Rotated\" subfolder"},
    {"m_bAddOrUpdateBriskoExif", "1: the BriskoExif block (barcode, ID.TXT and custom values) is written"},
    {"m_BriskoExifCustomActionFieldsMap",
     "custom BriskoExif fields written by this action: name=value|name=value|"},
    {"m_bSelectByOrientation", "1: only photos of the orientation m_bSelectLandscape are taken"},
    {"m_bSelectLandscape", "with m_bSelectByOrientation: 1 landscape photos, 0 portrait photos"},
    {"m_uiRunInterval", "at an interval (schedule 3): minutes between runs"},
    {"m_bIncludeSubFolders", "1: files in the source's subfolders are taken too"},
    {"m_bDeleteEmptyFoldersOnly", "Delete Subfolders: 1 removes only empty subfolders"},
    {"m_SpatialAreaPtrList", "GPS filter areas (edited in the window: GPS filters)"},
    {"m_strBriskoPltFilepath", "Create Image with PLT: the album (.plt) the photos are rendered into"},
    {"m_bOverwriteExistingFiles", "Move Files, Move Files from Media: 1 replaces a file of the same name"},
    {"m_strPrintQueue", "Print Files: the CUPS queue (empty: the default printer)"},
    {"m_iPrintCopies", "Print Files: copies of each photo (0: the photo's barcode Quantity value)"},
    {"m_iPrintMaxCopies", "Print Files: at most this many copies of a photo (0: no cap)"},
    {"m_strPrintMedia", "Print Files: the paper's IPP name, such as na_index-4x6_4x6in (empty: the queue's)"},
    {"m_bKeepShotsTogether",
     "Move Files, Copy Files, Move Files from Media: RAW+JPEG pairs and sidecars move as one"},
    {"m_bVerifyCopies",
     "Copy Files, Move Files, Move Files from Media, Copy/Move Subfolders: 1 reads each copy back from the "
     "disk "
     "and compares its hash before it counts (a move removes its source only then)"},
    {"m_iPrintScaling", "Print Files: 0 the printer's choice, 1 fit (margins may show), 2 fill (edges cut)"},
    {"m_bPrintBorderless", "Print Files: no margins, where the printer offers the paper so"},
    {"m_iExternalExeTimeLimit",
     "seconds the program m_strExternalExeFilepath may run on a photo before it is ended (0: no limit)"},
    {"m_iUploadRateLimit", "Upload Files: KiB per second while this action sends (0: no limit)"},
    {"m_iUploadLateMinutes",
     "Upload Files: a photo waiting longer than this turns the board amber (0: never)"},
    {"m_bUploadInPlace",
     "Upload Files: 1 sends under the final name (faster where renames are slow; a gallery may show a part)"},
};

// Integer values the form holds as a number field, a radio or a drop-down.
struct NumberField {
  const char* name;
  int64_t min, max;
  std::function<void(ActionForm&, int64_t)> set;
};

std::string Decimal(int64_t v) {
  return std::to_string(v);
}

const std::vector<NumberField>& NumberFields() {
  static const std::vector<NumberField> fields = {
      {"m_iFileAge", INT32_MIN, INT32_MAX, [](ActionForm& f, int64_t v) { f.fileAge = Decimal(v); }},
      {"m_iFileAgeUnits", kAgeMinutes, kAgeSeconds, [](ActionForm& f, int64_t v) { f.ageUnits = int(v); }},
      {"m_iLeaveMinFilecount", INT32_MIN, INT32_MAX,
       [](ActionForm& f, int64_t v) { f.leaveMin = Decimal(v); }},
      // The radio writes its one-component template at once, as "hour", "day" and "month" do.
      {"m_iCreateNewSubfolderFrequency", kEveryHour, kUseTemplate,
       [](ActionForm& f, int64_t v) { f.ChooseFrequency(int(v)); }},
      {"m_iScheduleType", 0, kNumScheduleTypes - 1, [](ActionForm& f, int64_t v) { f.schedule = int(v); }},
      {"m_uiScheduleTime", 0, 23, [](ActionForm& f, int64_t v) { f.hour = int(v); }},
      {"m_uiScheduleTimeMins", 0, 59, [](ActionForm& f, int64_t v) { f.minute = int(v); }},
      {"m_iuCommandIndex", 0, 19, [](ActionForm& f, int64_t v) { f.commandIndex = int(v); }},
      {"m_uiRunInterval", 0, INT32_MAX, [](ActionForm& f, int64_t v) { f.interval = Decimal(v); }},
      {"m_bModifyReadOnlyAttribute", 0, 1, [](ActionForm& f, int64_t v) { f.modifyReadOnly = v != 0; }},
      {"m_bMakeReadOnly", 0, 1, [](ActionForm& f, int64_t v) { f.readOnlyOn = v != 0; }},
      {"m_bSelectLandscape", 0, 1, [](ActionForm& f, int64_t v) { f.landscape = v != 0; }},
      {"m_iPrintCopies", 0, INT32_MAX, [](ActionForm& f, int64_t v) { f.printCopies = Decimal(v); }},
      {"m_iPrintMaxCopies", 0, INT32_MAX, [](ActionForm& f, int64_t v) { f.printMaxCopies = Decimal(v); }},
      {"m_iPrintScaling", 0, int64_t(ActionForm::kScalingChoices.size()) - 1,
       [](ActionForm& f, int64_t v) { f.printScaling = int(v); }},
      {"m_iExternalExeTimeLimit", 0, INT32_MAX,
       [](ActionForm& f, int64_t v) { f.exeTimeLimit = Decimal(v); }},
      {"m_iUploadRateLimit", 0, INT32_MAX, [](ActionForm& f, int64_t v) { f.uploadRateLimit = Decimal(v); }},
      {"m_iUploadLateMinutes", 0, INT32_MAX,
       [](ActionForm& f, int64_t v) { f.uploadLateMinutes = Decimal(v); }},
  };
  return fields;
}

// Stored values that are not the action's to set from here, and why.
const Meaning kNotSettable[] = {
    {"m_iFileCounter", "the file counter is the station's, not the action's"},
    {"m_iBatchCounter", "the batch counter is the station's, not the action's"},
    {"m_SubstringPtrList", "substring definitions are made in the window's template editor (Define...)"},
    {"m_SubFolderSubstringPtrList",
     "substring definitions are made in the window's template editor (Define...)"},
    {"m_SpatialAreaPtrList", "GPS filter areas are edited in the window (GPS filters) or in a backup file"},
    {"m_bRemoveReadOnlyAttribute", "an older form of m_bModifyReadOnlyAttribute, only read"},
};

std::string ToLowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsNoCase(std::string_view(text).substr(0, prefix.size()), prefix);
}

std::vector<std::string> SplitString(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string TrimBlanks(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<int64_t> ParseInteger(const std::string& text) {
  int64_t v = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  auto [p, ec] = std::from_chars(begin, end, v);
  if (ec != std::errc() || p != end || begin == end) return std::nullopt;
  return v;
}

std::optional<bool> ParseFlag(const std::string& text) {
  const std::string t = ToLowerAscii(text);
  if (t == "1" || t == "on" || t == "yes" || t == "true") return true;
  if (t == "0" || t == "off" || t == "no" || t == "false") return false;
  return std::nullopt;
}

std::string JoinIds(const std::vector<unsigned>& ids) {
  std::string out;
  for (unsigned id : ids) {
    if (!out.empty()) out += ',';
    out += std::to_string(id);
  }
  return out;
}

void AddTemplateLines(std::vector<FieldLine>& lines, const NameTemplate& t, const std::string& prefix) {
  const std::string shown = t.GetDisplayString();
  lines.push_back({prefix + "ComponentArray", JoinIds(t.m_ComponentArray),
                   FieldMeaning(prefix + "ComponentArray") + (shown.empty() ? "" : "; now: " + shown)});
  if (t.m_StaticTextArray.empty())
    lines.push_back({prefix + "StaticTextArray", "", FieldMeaning(prefix + "StaticTextArray")});
  for (size_t i = 0; i < t.m_StaticTextArray.size(); ++i)
    lines.push_back({prefix + "StaticTextArray_" + std::to_string(i), t.m_StaticTextArray[i],
                     FieldMeaning(prefix + "StaticTextArray")});
  lines.push_back({prefix + "SubstringPtrList", std::to_string(t.m_SubstringPtrList.size()),
                   FieldMeaning(prefix + "SubstringPtrList"), false});
  if (t.m_BriskoExifKeysArray.empty())
    lines.push_back({prefix + "BriskoExifKeysArray", "", FieldMeaning(prefix + "BriskoExifKeysArray")});
  for (size_t i = 0; i < t.m_BriskoExifKeysArray.size(); ++i)
    lines.push_back({prefix + "BriskoExifKeysArray_" + std::to_string(i), t.m_BriskoExifKeysArray[i],
                     FieldMeaning(prefix + "BriskoExifKeysArray")});
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A list entry "BASE_N" or the whole list "BASE" of one of the template's text lists.
std::optional<std::string> SetTemplateText(
    std::vector<std::string>& list, const std::string& base, const std::string& name,
    const std::string& value, const std::function<std::optional<FormMessage>(const std::string&)>& check,
    std::string& asked) {
  if (!value.empty()) {
    if (auto message = check(value)) return message->text;
  }
  if (name.size() == base.size()) {
    list.clear();
    if (!value.empty()) list.push_back(value);
    asked = value.empty() ? base : base + "_0";
    return std::nullopt;
  }
  const std::optional<int64_t> index = ParseInteger(name.substr(base.size() + 1));
  if (!index || *index < 0 || *index > int64_t(list.size()))
    return name + ": the entries are numbered from 0 without gaps (this list has " +
           std::to_string(list.size()) + ")";
  if (value.empty()) return name + " needs a text; give " + base + "= to empty the list";
  if (size_t(*index) == list.size())
    list.push_back(value);
  else
    list[size_t(*index)] = value;
  asked = base + "_" + std::to_string(*index);
  return std::nullopt;
}

// `asked` receives the line name whose value must read `expected` after OK ("" for none).
std::optional<std::string> SetTemplateField(ActionForm& form, const std::string& name,
                                            const std::string& value, std::string& asked,
                                            std::string& expected) {
  const bool subfolder = StartsWithNoCase(name, "m_SubFolder");
  const std::string prefix = subfolder ? "m_SubFolder" : "m_";
  NameTemplate& t = subfolder ? form.SubfolderTemplate() : form.RenameTemplate();
  const TemplateKind kind = t.Kind();
  const std::string rest = name.substr(prefix.size());
  auto is = [&](const char* list) {
    const size_t n = std::char_traits<char>::length(list);
    return rest.size() >= n && EqualsNoCase(rest.substr(0, n), list) && (rest.size() == n || rest[n] == '_');
  };
  if (is("ComponentArray") && rest.size() == std::char_traits<char>::length("ComponentArray")) {
    std::vector<unsigned> ids;
    for (const std::string& item : SplitString(value, ',')) {
      const std::string trimmed = TrimBlanks(item);
      if (trimmed.empty() && value.empty()) break;
      const std::optional<int64_t> id = ParseInteger(trimmed);
      if (!id || *id < 0 || *id >= NameTemplate::ComponentCount(kind))
        return name + " takes component numbers from 0 to " +
               std::to_string(NameTemplate::ComponentCount(kind) - 1) + " separated by commas, not '" +
               value + "'";
      ids.push_back(unsigned(*id));
    }
    t.m_ComponentArray = ids;
    asked = prefix + "ComponentArray";
    expected = JoinIds(ids);
    return std::nullopt;
  }
  if (is("StaticTextArray")) {
    StaticTextForm text(kind);
    auto check = [&](const std::string& v) { return text.OnTextChanged(v); };
    expected = value;
    return SetTemplateText(t.m_StaticTextArray, prefix + "StaticTextArray", prefix + rest, value, check,
                           asked);
  }
  if (is("BriskoExifKeysArray")) {
    SelectKeyForm keys(BriskoExifCustomMap(form.Target().Host().Values().m_knownCustomFields));
    auto check = [&](const std::string& v) { return keys.Ok(v); };
    expected = value;
    return SetTemplateText(t.m_BriskoExifKeysArray, prefix + "BriskoExifKeysArray", prefix + rest, value,
                           check, asked);
  }
  return std::string();  // not a template field
}

std::optional<std::string> SetCustomFields(ActionForm& form, const std::string& value,
                                           std::string& expected) {
  CustomFieldsForm custom(BriskoExifCustomMap{},
                          BriskoExifCustomMap(form.Target().Host().Values().m_knownCustomFields));
  for (const std::string& pair : SplitString(value, '|')) {
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string::npos)
      return "m_BriskoExifCustomActionFieldsMap takes name=value pairs separated by \"|\", not '" + pair +
             "'";
    if (auto message = custom.Add(pair.substr(0, eq), pair.substr(eq + 1))) return message->text;
  }
  form.ApplyCustomFields(custom.Edited());
  expected = custom.Edited().ToText();
  return std::nullopt;
}

}  // namespace

std::string FieldMeaning(const std::string& name) {
  for (const Meaning& m : kMeanings) {
    if (name == m.name) return m.text;
  }
  return {};
}

std::optional<int> ParseActionType(const std::string& text) {
  if (const std::optional<int64_t> n = ParseInteger(text)) {
    if (*n >= 0 && *n < kNumActionTypes) return int(*n);
    return std::nullopt;
  }
  for (int type = 0; type < kNumActionTypes; ++type) {
    if (EqualsNoCase(text, ActionTypeName(type))) return type;
  }
  return std::nullopt;
}

std::optional<FieldAssignment> ParseFieldAssignment(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return std::nullopt;
  return FieldAssignment{text.substr(0, eq), text.substr(eq + 1)};
}

std::vector<FieldLine> DescribeActionFields(const Action& a) {
  std::vector<FieldLine> lines;
  for (const ActionField& field : ActionFields()) {
    const std::string key = field.key;
    if (auto m = std::get_if<int32_t Action::*>(&field.member)) {
      std::string meaning = FieldMeaning(key);
      if (key == "m_iType") meaning += " (now " + std::string(ActionTypeName(a.m_iType)) + ")";
      lines.push_back({key, std::to_string(a.*(*m)), meaning});
    } else if (auto u = std::get_if<uint32_t Action::*>(&field.member)) {
      lines.push_back({key, std::to_string(a.*(*u)), FieldMeaning(key)});
    } else if (auto s = std::get_if<std::string Action::*>(&field.member)) {
      lines.push_back({key, a.*(*s), FieldMeaning(key)});
    } else if (key == "templates") {
      AddTemplateLines(lines, a.m_RenameTemplate, "m_");
      AddTemplateLines(lines, a.m_SubfolderTemplate, "m_SubFolder");
    } else if (key == "m_BriskoExifCustomActionFieldsMap") {
      lines.push_back(
          {key, BriskoExifCustomMap(a.m_BriskoExifCustomActionFieldsMap).ToText(), FieldMeaning(key)});
    } else if (key == "m_SpatialAreaPtrList") {
      lines.push_back({key, std::to_string(a.m_SpatialAreaList.Count()), FieldMeaning(key), false});
    } else if (StartsWithNoCase(key, "m_iFileCounter")) {
      const StationValues& values = a.Host().Values();
      lines.push_back(
          {"m_iFileCounter", std::to_string(values.m_iFileCounter), FieldMeaning("m_iFileCounter"), false});
      lines.push_back({"m_iBatchCounter", std::to_string(values.m_iBatchCounter),
                       FieldMeaning("m_iBatchCounter"), false});
    }
  }
  return lines;
}

std::optional<std::string> ApplyFieldAssignments(ActionForm& form,
                                                 const std::vector<FieldAssignment>& fields) {
  // What each assignment asks the stored field to read after OK.
  std::vector<std::pair<std::string, std::string>> asked;
  for (const FieldAssignment& f : fields) {
    const std::string& name = f.name;
    const std::string& value = f.value;
    if (HasLineBreak(value)) return name + " cannot hold a line break";
    bool done = false;
    for (const Meaning& m : kNotSettable) {
      if (EqualsNoCase(name, m.name)) return name + " cannot be set here: " + m.text;
    }
    if (EqualsNoCase(name, "m_iType")) {
      const std::optional<int> type = ParseActionType(value);
      if (!type)
        return "m_iType takes a type number from 0 to " + std::to_string(kNumActionTypes - 1) +
               " or its name, not '" + value + "'";
      form.type = *type;
      form.Update();
      asked.emplace_back("m_iType", std::to_string(*type));
      continue;
    }
    for (const ActionField& field : ActionFields()) {
      if (!EqualsNoCase(name, field.key)) continue;
      if (auto box = std::get_if<bool ActionForm::*>(&field.control)) {
        const std::optional<bool> on = ParseFlag(value);
        if (!on) return std::string(field.key) + " takes 1 or 0, not '" + value + "'";
        form.*(*box) = *on;
        asked.emplace_back(field.key, *on ? "1" : "0");
        done = true;
      } else if (auto text = std::get_if<std::string ActionForm::*>(&field.control)) {
        form.*(*text) = value;
        asked.emplace_back(field.key, value);
        done = true;
      }
      break;
    }
    for (const NumberField& number : NumberFields()) {
      if (done || !EqualsNoCase(name, number.name)) continue;
      const std::optional<int64_t> v = ParseInteger(value);
      if (!v || *v < number.min || *v > number.max)
        return std::string(number.name) + " takes a whole number from " + std::to_string(number.min) +
               " to " + std::to_string(number.max) + ", not '" + value + "'";
      number.set(form, *v);
      asked.emplace_back(number.name, std::to_string(*v));
      done = true;
    }
    if (!done && EqualsNoCase(name, "m_BriskoExifCustomActionFieldsMap")) {
      std::string expected;
      if (auto why = SetCustomFields(form, value, expected)) return why;
      asked.emplace_back("m_BriskoExifCustomActionFieldsMap", expected);
      done = true;
    }
    if (!done) {
      std::string line, expected;
      if (auto why = SetTemplateField(form, name, value, line, expected)) {
        if (!why->empty()) return why;
        return "no action field is named " + name + " ('actions show N' lists them)";
      }
      if (!line.empty()) asked.emplace_back(line, expected);
    }
    form.Update();
  }
  if (auto message = form.Ok(nullptr)) return message->text;
  // The editor quietly keeps some values for a type (a box it disables or checks itself): say so
  // rather than report a change that did not happen.
  const std::vector<FieldLine> now = DescribeActionFields(form.Target());
  for (const auto& [name, expected] : asked) {
    for (const FieldLine& line : now) {
      if (line.name != name || line.value == expected) continue;
      return name + "=" + expected + " does not apply to a " + ActionTypeName(form.Target().m_iType) +
             " action as set (it keeps " + name + "=" + line.value + ")";
    }
  }
  return std::nullopt;
}

}  // namespace brisko
