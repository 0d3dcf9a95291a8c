#pragma once
// The ID.TXT identity record that travels with a camera card or hot folder, and the batch ID
// counter kept in the settings store.
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

class SettingsStore;

// Keys of the six text fields, in file order.
inline constexpr std::array<const char*, 6> kIdTxtKeys = {"PHOTOGRAPHERID", "EVENTID", "CARDID",
                                                          "USERID1",        "USERID2", "USERID3"};
inline constexpr const char* kIdTxtBatchKey = "BATCHID";
inline constexpr const char* kIdTxtFileName = "ID.TXT";
// Only this much of a file is read: a real ID.TXT is a few hundred bytes, and a card may hold
// anything under that name.
inline constexpr size_t kIdTxtMaxRead = 64 * 1024;

// What the lenient reader found in a file: a value per known key, unset when the key was absent.
struct IdTxtEntries {
  std::array<std::optional<std::string>, 6> texts;
  std::optional<std::string> batch;
};

// Parses ID.TXT bytes: lines end at LF, CR LF or a lone CR; a NUL byte ends the line's text;
// the key (before the first "=", not empty) is upper-cased and not trimmed, the value is kept
// as it stands; later lines win. When `complete` is false the data was cut short and its last
// unterminated line is ignored.
IdTxtEntries ParseIdTxt(std::string_view data, bool complete = true);

// The "BATCHID" value as a decimal number: leading blanks, an optional sign, then the leading
// digits; no digits gives 0; values beyond the int range saturate.
int ParseBatchIdValue(std::string_view value);

// The next batch ID: "Actions"/"m_iBatchID" + 1, written back at once. After the largest int
// the counter starts again at 1 rather than overflowing. A null store counts from 0.
int NewBatchId(SettingsStore* store);

class CIdTxt {
 public:
  explicit CIdTxt(SettingsStore* store = nullptr) : m_store(store) {}

  int NewBatchId();

  // Reads "<folder>/ID.TXT" of the first folder in `folders` that has one (an exact name first,
  // then any letter case, as on the card's own file system). False, record unchanged, when none
  // exists or the first one found cannot be read. `find` looks for the file in one folder
  // (FindIdTxt when not given; a caller that holds the listing answers without reading it).
  bool ReadFromFolders(const std::vector<std::string>& folders,
                       const std::function<std::optional<std::string>(const std::string&)>& find = nullptr);

  // Writes the record to `path` (through a temporary file in the same folder and a rename, so
  // the old file stays whole until the new one is complete). With `newBatch` the batch ID is
  // replaced by NewBatchId() first. False when it cannot be written (LastError() gives errno).
  // An existing file without write permission is not replaced.
  bool Write(const std::string& path, bool newBatch);

  // The file text: the six texts and the batch ID, CR LF line ends. CR, LF and NUL bytes in a
  // text are left out, since they would break the line structure the reader relies on.
  std::string Format() const;

  // The six texts by file order (0 photographer .. 5 user ID 3).
  std::string& Text(size_t index);
  const std::string& Text(size_t index) const;

  int LastError() const { return m_lastError; }
  void SetStore(SettingsStore* store) { m_store = store; }

  std::string m_strFilePath;
  std::string m_strPhotographerID;
  std::string m_strEventID;
  std::string m_strCardID;
  std::string m_strUserID1;
  std::string m_strUserID2;
  std::string m_strUserID3;
  int m_iBatchID = 0;

 private:
  SettingsStore* m_store = nullptr;
  int m_lastError = 0;
};

// Finds the ID.TXT of one folder: "<folder>/ID.TXT" when that exists, else an entry whose
// name matches it in any letter case. nullopt when there is none.
std::optional<std::string> FindIdTxt(const std::string& folder);

// Reads at most `limit` bytes of a regular file without blocking on FIFOs or devices.
// False (errno in *err) when it cannot be opened or read; *complete tells whether the whole
// file was read.
bool ReadFileHead(const std::string& path, size_t limit, std::string& data, bool* complete, int* err);

}  // namespace brisko
