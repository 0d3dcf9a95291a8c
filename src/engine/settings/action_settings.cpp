#include "engine/settings/action_settings.h"

#include <algorithm>

namespace brisko {

namespace {

const char* const kActionTypeNames[kNumActionTypes] = {
    "Delete Files",      "Move Files",      "Copy Files",      "Move Files from Media",
    "Delete Subfolders", "Move Subfolders", "Copy Subfolders", "Create Image with PLT",
    "Print Files",       "Upload Files"};

const char* const kScheduleNames[kNumScheduleTypes] = {"Continuous", "Shutdown",   "Time",        "Interval",
                                                       "Startup",    "On Command", "Barcode Scan"};

const char* const kScheduleCaptions[kNumScheduleTypes] = {
    "Continuous", "At Shutdown", "At this Time:",  "At this Interval:",
    "At Start",   "On Command:", "Barcode Scanned"};

const char* const kAgeUnitNames[] = {"mins", "hours", "days", "secs"};
const char* const kFrequencyNames[] = {"hour", "day", "month", "use template"};

}  // namespace

const char* ActionTypeName(int type) {
  return type >= 0 && type < kNumActionTypes ? kActionTypeNames[type] : "Undefined action";
}

const char* ScheduleTypeName(int type) {
  return type >= 0 && type < kNumScheduleTypes ? kScheduleNames[type] : "";
}

const char* ScheduleTypeCaption(int type) {
  return type >= 0 && type < kNumScheduleTypes ? kScheduleCaptions[type] : "";
}

const char* FileAgeUnitsName(int units) {
  return units >= 0 && units < 4 ? kAgeUnitNames[units] : "";
}

const char* SubfolderFrequencyName(int frequency) {
  return frequency >= 0 && frequency < 4 ? kFrequencyNames[frequency] : "";
}

std::string ActionSectionName(int index) {
  return "Action_" + std::to_string(index);
}

int32_t CappedFileAge(int32_t age, int32_t units) {
  switch (units) {
    case kAgeMinutes:
    case kAgeSeconds:
      return std::min(age, 59);
    case kAgeHours:
      return std::min(age, 23);
    default:
      return age;
  }
}

std::string ActionSettings::GetTypeName() const {
  return ActionTypeName(m_iType);
}

std::string ActionSettings::GetDescription() const {
  return m_strName + " (" + GetTypeName() + ")";
}

}  // namespace brisko
