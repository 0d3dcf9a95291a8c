// Move records in their text form: one photo's steps, and batches of moves.
#include <charconv>
#include <utility>

#include "engine/base/record_file.h"
#include "engine/records/move_journal.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "brisko-move 1";
constexpr std::string_view kBatchHeader = "brisko-move-batch 1";
constexpr std::string_view kShotsHeader = "brisko-move-shots 1";
constexpr std::string_view kTrailer = "end";
constexpr size_t kMaxValue = 4096;  // PATH_MAX

void Escape(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

bool Unescape(std::string_view in, std::string& out) {
  if (in.size() > 2 * kMaxValue) return false;
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '\0') return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == in.size()) return false;
    if (in[i] == '\\') {
      out += '\\';
    } else if (in[i] == 'n') {
      out += '\n';
    } else {
      return false;
    }
  }
  return out.size() <= kMaxValue;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// "device:inode:size:time", then ":volume" where the volume was noted.
bool ParseIdentity(std::string_view text, FileIdentity& id) {
  std::string_view parts[5];
  int n = 0;
  for (; n < 5 && !text.empty(); ++n) {
    const size_t colon = text.find(':');
    parts[n] = text.substr(0, colon);
    text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (colon != std::string_view::npos && text.empty()) return false;
  }
  if (!text.empty() || n < 4) return false;
  id.volume = 0;
  return ParseNumber(parts[0], id.device) && ParseNumber(parts[1], id.inode) &&
         ParseNumber(parts[2], id.size) && ParseNumber(parts[3], id.modTimeNs) &&
         (n == 4 || (ParseNumber(parts[4], id.volume) && id.volume != 0));
}

bool Absolute(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

// One "key=value" line, the value escaped.
void AppendField(std::string& out, const char* key, std::string_view value) {
  out += key;
  out += '=';
  Escape(out, value);
  out += '\n';
}

std::string IdentityText(const FileIdentity& id) {
  std::string text = std::to_string(id.device) + ":" + std::to_string(id.inode) + ":" +
                     std::to_string(id.size) + ":" + std::to_string(id.modTimeNs);
  if (id.volume != 0) text += ":" + std::to_string(id.volume);
  return text;
}

// A "key=value" line, the value unescaped.
bool SplitField(std::string_view line, std::string_view& key, std::string& value) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = line.substr(0, eq);
  return Unescape(line.substr(eq + 1), value);
}

}  // namespace

bool ValidFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string FormatMoveRecord(const MoveRecord& r) {
  std::string out(kHeader);
  out += '\n';
  auto field = [&out](const char* key, std::string_view value) { AppendField(out, key, value); };
  field("step", r.step == MoveStep::Copying ? "copying" : "placing");
  field("action", r.action);
  field("source", r.source);
  field("photo", r.photo);
  field("identity", IdentityText(r.photoIdentity));
  field("copy", r.copy);
  field("scratch", r.scratch);
  field("folder", r.folder);
  field("name", r.name);
  field("rename", r.rename ? "1" : "0");
  field("overwrite", r.overwrite ? "1" : "0");
  field("target", r.target);
  out += kTrailer;
  out += '\n';
  return out;
}

bool ParseMoveRecord(std::string_view text, MoveRecord& record) {
  if (text.size() > kMaxMoveRecordBytes) return false;
  MoveRecord r;
  const char* keys[] = {"step",    "action", "source", "photo",  "identity",  "copy",
                        "scratch", "folder", "name",   "rename", "overwrite", "target"};
  constexpr size_t kKeys = sizeof keys / sizeof keys[0];
  bool seen[kKeys] = {};
  const bool lines = ForEachRecordLine(
      text, [](std::string_view l) { return l == kHeader; }, kTrailer,
      [&](size_t, std::string_view l) {
        std::string_view key;
        std::string value;
        if (!SplitField(l, key, value)) return false;
        size_t k = 0;
        while (k < kKeys && key != keys[k]) ++k;
        if (k == kKeys || seen[k]) return false;
        seen[k] = true;
        switch (k) {
          case 0:
            if (value == "copying") {
              r.step = MoveStep::Copying;
            } else if (value == "placing") {
              r.step = MoveStep::Placing;
            } else {
              return false;
            }
            break;
          case 1:
            r.action = std::move(value);
            break;
          case 2:
            r.source = std::move(value);
            break;
          case 3:
            r.photo = std::move(value);
            break;
          case 4:
            if (!ParseIdentity(value, r.photoIdentity)) return false;
            break;
          case 5:
            r.copy = std::move(value);
            break;
          case 6:
            r.scratch = std::move(value);
            break;
          case 7:
            r.folder = std::move(value);
            break;
          case 8:
            r.name = std::move(value);
            break;
          case 9:
          case 10:
            if (value != "0" && value != "1") return false;
            (k == 9 ? r.rename : r.overwrite) = value == "1";
            break;
          default:
            r.target = std::move(value);
            break;
        }
        return true;
      });
  for (bool s : seen) {
    if (!s) return false;
  }
  if (!lines || !Absolute(r.source) || !Absolute(r.photo) || !Absolute(r.folder) || !ValidFileName(r.name))
    return false;
  if (r.step == MoveStep::Copying && !Absolute(r.copy)) return false;
  if (r.step == MoveStep::Placing && !Absolute(r.target)) return false;
  if (!r.scratch.empty() && !Absolute(r.scratch)) return false;
  record = std::move(r);
  return true;
}

std::string FormatMoveBatchRecord(const MoveBatchRecord& r) {
  std::string out(r.together ? kShotsHeader : kBatchHeader);
  out += '\n';
  auto field = [&out](const char* key, std::string_view value) { AppendField(out, key, value); };
  field("action", r.action);
  field("overwrite", r.overwrite ? "1" : "0");
  for (const MoveBatchRecord::Entry& e : r.entries) {
    field("source", e.source);
    field("identity", IdentityText(e.sourceIdentity));
    field("target", e.target);
    field("copy", IdentityText(e.copyIdentity));
    field("temp", e.temp);
    if (e.hash.set) field("hash", e.hash.Text());
  }
  out += kTrailer;
  out += '\n';
  return out;
}

bool ParseMoveBatchRecord(std::string_view text, MoveBatchRecord& record) {
  if (text.size() > kMaxMoveBatchRecordBytes) return false;
  // Fixed order: header, action, overwrite, then source, identity, target, copy, temp per entry
  // (and the hash of a checked copy, in records since checks were made), end.
  constexpr const char* kEntryKeys[] = {"source", "identity", "target", "copy", "temp"};
  constexpr size_t kEntryLines = sizeof kEntryKeys / sizeof kEntryKeys[0];
  MoveBatchRecord r;
  MoveBatchRecord::Entry e;
  size_t count = 0;  // lines after the header
  size_t next = 0;   // the entry line expected next
  bool hashMay = false;
  auto header = [&r](std::string_view l) {
    r.together = l == kShotsHeader;
    return l == kBatchHeader || l == kShotsHeader;
  };
  const bool lines = ForEachRecordLine(text, header, kTrailer, [&](size_t at, std::string_view l) {
    count = at;
    std::string_view key;
    std::string value;
    if (!SplitField(l, key, value)) return false;
    if (at == 1 || at == 2) {
      if (key != (at == 1 ? "action" : "overwrite")) return false;
      if (at == 1) {
        r.action = std::move(value);
      } else {
        if (value != "0" && value != "1") return false;
        r.overwrite = value == "1";
      }
      return true;
    }
    if (hashMay && key == "hash") {
      hashMay = false;
      return ContentHash::Parse(value, r.entries.back().hash);
    }
    hashMay = false;
    if (key != kEntryKeys[next]) return false;
    switch (next) {
      case 0:
        if (!Absolute(value)) return false;
        e.source = std::move(value);
        break;
      case 1:
        if (!ParseIdentity(value, e.sourceIdentity)) return false;
        break;
      case 2:
        if (!Absolute(value) || value == e.source) return false;
        e.target = std::move(value);
        break;
      case 3:
        if (!ParseIdentity(value, e.copyIdentity)) return false;
        break;
      default: {
        // Only ever one of the file layer's hidden names beside the target (none: a rename).
        const PathParts parts = SplitPath(value);
        if (!(r.together && value.empty()) && (parts.folder != SplitPath(e.target).folder ||
                                               !IsFileLayerTempName(parts.name + parts.extension)))
          return false;
        e.temp = std::move(value);
        r.entries.push_back(std::move(e));
        e = {};
        hashMay = true;
        break;
      }
    }
    next = (next + 1) % kEntryLines;
    return true;
  });
  // No entry cut short before the end.
  if (!lines || count < 2 || next != 0 || r.entries.empty()) return false;
  record = std::move(r);
  return true;
}

}  // namespace brisko
