#pragma once
// Folder enumeration with a wildcard mask: the platform finder that the file-specification
// filter builds on.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brisko {

struct FileInfo {
  std::string name;        // entry name only
  std::string path;        // folder + "/" + name
  int64_t modTime = 0;     // seconds since 1970
  int64_t createTime = 0;  // birth time where the file system keeps one, else modTime
  int64_t accessTime = 0;
  uint64_t size = 0;
  bool readOnly = false;  // no owner write bit
  bool directory = false;
  // What tells a changed or replaced file from the one seen before.
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modTimeNs = 0;
  int64_t changeTimeNs = 0;  // status change: writes, renames, permission and link changes
  uint32_t links = 0;
  bool symlink = false;  // the entry is a link; the other fields describe what it points to
};

// True when `name` matches the finder mask: "*" any run, "?" one byte, other bytes compared
// without regard to ASCII letter case. "*.*" and "*" match every name (as the platform
// finder does, also names without a dot).
bool MaskMatches(const std::string& mask, const std::string& name);

// True for "Thumbs.db" in any letter case (file names are compared that way everywhere).
bool IsThumbsDbName(const std::string& name);

// Reads the status of one path into `info` (name = last path element). False when it
// does not exist or cannot be read; errno is left set.
bool StatPath(const std::string& path, FileInfo& info);

// StatPath for the entry `name` of `folder` ("/" between them).
bool StatEntry(const std::string& folder, const std::string& name, FileInfo& info);

// Lists the entries of `folder` whose names match `mask`, "." and ".." first (as the platform
// finder reports them), then the others sorted by name (byte order of the UTF-8 name). Entries that vanish
// while listing are skipped. False (and *err = errno) when the folder cannot be opened, or when the listing
// fails part-way: then `*partial` (when given) is set and `entries` holds only what was read, which is not
// the folder's content.
bool ListFolder(const std::string& folder, const std::string& mask, std::vector<FileInfo>& entries,
                int* err = nullptr, bool* partial = nullptr);

// The names of the entries of `folder` other than "." and "..", sorted as ListFolder sorts
// them, without reading their status. Fails as ListFolder does.
bool ListNames(const std::string& folder, std::vector<std::string>& names, int* err = nullptr,
               bool* partial = nullptr);

// Entries other than "." and ".." (counting stops at `limit`, 0: no limit); `lastName` gets
// the name of the last one counted. -1 (and *err) when the folder cannot be listed completely.
int CountEntries(const std::string& folder, int limit = 0, std::string* lastName = nullptr,
                 int* err = nullptr);

// Test seam: consulted after each entry a listing reads; a non-zero return is taken as the
// errno of a failed read at that point (an I/O error on a card).
using ListFaultHook = std::function<int(const std::string& folder, size_t entriesRead)>;
void SetListFaultHook(ListFaultHook hook);

}  // namespace brisko
