// Building the EXIF block: changed in place and appended to, or laid out whole when it would
// outgrow its segment; then the header segments around it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "imagemeta/jpeg_exif_file.h"
#include "imagemeta/jpeg_exif_file_internal.h"

namespace brisko {

using namespace exif_detail;

namespace {

using Slot = std::array<uint8_t, 12>;

// What of the old block something reads besides a given entry: the directories, every value
// stored out of line, the thumbnail or strip, and what the entries of a maker note's own
// directory point at (cameras let one tag's value lie inside another's). Bytes another reads are
// never written over or zeroed; a changed value that had them is appended instead.
class OldClaims {
 public:
  OldClaims(const std::vector<uint8_t>& tiff, char order, std::initializer_list<uint32_t> dirs,
            std::optional<uint32_t> noteAt, uint64_t noteSize) {
    std::vector<uint32_t> seen;
    for (const uint32_t dirAt : dirs) {
      if (dirAt == 0 || uint64_t(dirAt) + 2 > tiff.size() ||
          std::find(seen.begin(), seen.end(), dirAt) != seen.end())
        continue;
      seen.push_back(dirAt);
      const size_t count = std::min<size_t>(Get16(&tiff[dirAt], order), (tiff.size() - dirAt - 2) / 12);
      m_ranges.push_back({dirAt, dirAt + 2 + 12 * uint64_t(count) + 4, kNone});
      auto lengthOf = [&](uint16_t tag) -> uint64_t {
        for (size_t i = 0; i < count; ++i) {
          const uint8_t* p = &tiff[dirAt + 2 + 12 * i];
          if (Get16(p, order) == tag && Get32(p + 4, order) == 1)
            return Get16(p + 2, order) == 3 ? Get16(p + 8, order) : Get32(p + 8, order);
        }
        return 1;
      };
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = &tiff[dirAt + 2 + 12 * i];
        const uint16_t tag = Get16(p, order);
        const uint16_t type = Get16(p + 2, order);
        const uint32_t n = Get32(p + 4, order);
        const uint64_t size = uint64_t(n) * ExifTypeSize(type);
        const uint64_t value = Get32(p + 8, order);
        const auto slot = static_cast<uint32_t>(dirAt + 2 + 12 * i);
        if (size > 4) {
          m_ranges.push_back({value, value + size, slot});
        } else if (n == 1 && ExifTypeSize(type) == 4 &&
                   (tag == exif_tag::kThumbnailOffset || tag == 0x0111)) {
          const uint64_t length = lengthOf(tag == 0x0111 ? 0x0117 : exif_tag::kThumbnailLength);
          m_ranges.push_back({value, value + std::max<uint64_t>(1, length), slot});
        }
      }
    }
    if (noteAt && uint64_t(*noteAt) + noteSize <= tiff.size()) AddMakerNote(tiff, order, *noteAt, noteSize);
  }

  // Whether anything but the entry at `slot` reads bytes of [at, at + size).
  bool Shared(uint64_t at, uint64_t size, uint32_t slot) const {
    const uint64_t end = at + size;
    return std::any_of(m_ranges.begin(), m_ranges.end(),
                       [&](const Range& r) { return r.slot != slot && r.begin < end && at < r.end; });
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Range {
    uint64_t begin, end;
    uint32_t slot;  // the entry that reads it (kNone: a directory, a thumbnail, a maker note's entry)
  };

  // A maker note's layout is its maker's: its directory is looked for in the first bytes after a
  // maker's header (the first place a count is followed by that many entries of known types, sizes
  // the block could hold and ascending tags), and its offsets count from the TIFF header, from the note, or
  // from the TIFF header some notes carry 10 bytes in: whichever puts the most of its values inside the note.
  void AddMakerNote(const std::vector<uint8_t>& tiff, char blockOrder, uint64_t noteAt, uint64_t noteSize) {
    const uint8_t* note = &tiff[noteAt];
    for (uint64_t start = 0; start < 32 && start + 2 + 12 <= noteSize; ++start) {
      for (const char order : {blockOrder, blockOrder == 'I' ? 'M' : 'I'}) {
        const size_t count = Get16(note + start, order);
        if (count == 0 || count > 1024 || start + 2 + 12 * uint64_t(count) > noteSize) continue;
        bool plausible = true;
        for (size_t i = 0; i < count && plausible; ++i) {
          const uint8_t* e = note + start + 2 + 12 * i;
          const uint64_t size = uint64_t(Get32(e + 4, order)) * ExifTypeSize(Get16(e + 2, order));
          plausible = size != 0 && size <= tiff.size() && (i == 0 || Get16(e, order) > Get16(e - 12, order));
        }
        if (!plausible) continue;
        const uint64_t bases[] = {0, noteAt, noteAt + 10};
        int best = -1, bestInside = -1;
        for (int b = 0; b < 3; ++b) {
          int inside = 0;
          for (size_t i = 0; i < count; ++i) {
            const uint8_t* e = note + start + 2 + 12 * i;
            const uint64_t size = uint64_t(Get32(e + 4, order)) * ExifTypeSize(Get16(e + 2, order));
            const uint64_t from = bases[b] + Get32(e + 8, order);
            inside += size > 4 && from >= noteAt && from + size <= noteAt + noteSize;
          }
          if (inside > bestInside) best = b, bestInside = inside;
        }
        for (size_t i = 0; i < count; ++i) {
          const uint8_t* e = note + start + 2 + 12 * i;
          const uint64_t size = uint64_t(Get32(e + 4, order)) * ExifTypeSize(Get16(e + 2, order));
          const uint64_t from = bases[best] + Get32(e + 8, order);
          if (size > 4) m_ranges.push_back({from, from + size, kNone});
        }
        return;
      }
    }
  }

  std::vector<Range> m_ranges;
};

// Edits a copy of the TIFF block as read. Nothing in it moves: a value or directory that no longer
// fits its place is written after the old data and only the pointers to it change.
class InPlaceTiff {
 public:
  InPlaceTiff(std::vector<uint8_t>& tiff, char order, uint64_t appendFrom, const std::vector<uint32_t>& drop,
              const OldClaims* claims = nullptr)
      : m_tiff(tiff), m_order(order), m_appendFrom(appendFrom), m_drop(drop), m_claims(claims) {}

  uint32_t Append(const uint8_t* data, size_t n) {
    // Never where an offset of the old block points: that data would become readable as its value.
    if (m_tiff.size() < m_appendFrom) m_tiff.resize(m_appendFrom, 0);
    if (m_tiff.size() & 1) m_tiff.push_back(0);
    const auto at = static_cast<uint32_t>(m_tiff.size());
    m_tiff.insert(m_tiff.end(), data, data + n);
    return at;
  }

  bool InRange(uint64_t at, uint64_t n) const { return at <= m_tiff.size() && n <= m_tiff.size() - at; }

  // The entry's 12 bytes as they stand in the block, when it was read from it.
  bool OldSlot(const ExifEntry& e, Slot& slot) const {
    if (e.entryOffset == 0 || !InRange(e.entryOffset, 12)) return false;
    std::memcpy(slot.data(), &m_tiff[e.entryOffset], 12);
    return true;
  }

  // Out-of-line data of a slot (offset and size), if it has any inside the block.
  bool OldData(const Slot& s, uint32_t& at, uint32_t& size) const {
    uint64_t n = uint64_t(Get32(&s[4], m_order)) * ExifTypeSize(Get16(&s[2], m_order));
    if (n <= 4) return false;
    at = Get32(&s[8], m_order);
    size = static_cast<uint32_t>(n);
    return InRange(at, n);
  }

  bool Unchanged(const ExifEntry& e, const Slot& old) const {
    if (Get16(&old[0], m_order) != e.tag || Get16(&old[2], m_order) != e.type ||
        Get32(&old[4], m_order) != e.count)
      return false;
    uint32_t at = 0, size = 0;
    if (OldData(old, at, size))
      return size == e.data.size() && std::equal(e.data.begin(), e.data.end(), m_tiff.begin() + at);
    if (e.data.size() > 4) return false;
    return std::equal(e.data.begin(), e.data.end(), old.begin() + 8);
  }

  // A changed entry: its data goes back where it was when it fits, else after everything; bytes
  // it leaves behind are zeroed so no stale copy (an old user comment) stays readable. Old bytes
  // that something else reads too stay as they are, and the new value is appended.
  Slot Encode(const ExifEntry& e) {
    Slot s{};
    Put16(&s[0], e.tag, m_order);
    Put16(&s[2], e.type, m_order);
    Put32(&s[4], e.count, m_order);
    Slot old{};
    uint32_t oldAt = 0, oldSize = 0;
    const bool hadData = OldSlot(e, old) && OldData(old, oldAt, oldSize);
    const bool own = hadData && !(m_claims && m_claims->Shared(oldAt, oldSize, e.entryOffset));
    if (e.data.size() <= 4) {
      std::copy(e.data.begin(), e.data.end(), s.begin() + 8);
      if (own) std::fill_n(m_tiff.begin() + oldAt, oldSize, 0);
      return s;
    }
    uint32_t at;
    if (own && oldSize >= e.data.size()) {
      at = oldAt;
      std::copy(e.data.begin(), e.data.end(), m_tiff.begin() + at);
      std::fill_n(m_tiff.begin() + at + e.data.size(), oldSize - e.data.size(), 0);
    } else {
      if (own) std::fill_n(m_tiff.begin() + oldAt, oldSize, 0);
      at = Append(e.data.data(), e.data.size());
    }
    Put32(&s[8], at, m_order);
    return s;
  }

  Slot Pointer(const ExifEntry& e, uint32_t value) const {
    Slot s{};
    const bool keepType = e.count == 1 && (e.type == 4 || e.type == 13 || e.type == 3);
    const uint16_t type = keepType ? e.type : 4;
    Put16(&s[0], e.tag, m_order);
    Put16(&s[2], type, m_order);
    Put32(&s[4], 1, m_order);
    if (type == 3)
      Put16(&s[8], static_cast<uint16_t>(value), m_order);
    else
      Put32(&s[8], value, m_order);
    return s;
  }

  // Writes one directory and returns where it now is (0 for none). It stays in place unless it
  // gains an entry; a rewritten one keeps the raw entries the reader skipped and ascending tags.
  // `next` is the new next-directory offset, or nullopt to keep it.
  uint32_t Directory(const std::vector<ExifEntry>& list, uint32_t oldAt,
                     const std::vector<std::pair<uint16_t, uint32_t>>& pointers,
                     std::optional<uint32_t> next) {
    if (list.empty() && oldAt == 0) return 0;
    size_t oldCount = 0;
    if (oldAt != 0 && InRange(oldAt, 2)) {
      oldCount = std::min<size_t>(Get16(&m_tiff[oldAt], m_order), (m_tiff.size() - oldAt - 2) / 12);
    }
    // Old entries left out: those the caller drops for their dangling offset, and ones the reader
    // skipped whose tag a new entry has (read again, they could shadow its value). A directory that
    // loses one is rewritten, never closed up in place: a broken count may run it over others.
    std::vector<bool> removed(oldCount, false);
    for (size_t i = 0; i < oldCount; ++i) removed[i] = Dropped(oldAt + 2 + 12 * i);
    std::vector<bool> used = removed;
    bool inPlace = oldAt != 0;
    std::vector<std::pair<size_t, Slot>> slots;  // old index (or npos) and bytes
    for (const ExifEntry& e : list) {
      auto ptr =
          std::find_if(pointers.begin(), pointers.end(), [&](const auto& p) { return p.first == e.tag; });
      size_t index = std::string::npos;
      if (oldAt != 0 && e.entryOffset >= oldAt + 2 && (e.entryOffset - oldAt - 2) % 12 == 0) {
        size_t i = (e.entryOffset - oldAt - 2) / 12;
        if (i < oldCount && !used[i]) {
          index = i;
        } else if (i < oldCount && removed[i] && ptr != pointers.end()) {
          // A pointer this layout sets is never left out, even where its old value dangled.
          index = i;
          removed[i] = false;
        }
        if (index == std::string::npos && i < oldCount && removed[i]) continue;
      }
      if (index == std::string::npos)
        inPlace = false;
      else
        used[index] = true;
      Slot old{};
      const bool fromFile = OldSlot(e, old);
      Slot s;
      if (ptr != pointers.end())
        s = Pointer(e, ptr->second);
      else if (fromFile && Unchanged(e, old))
        s = old;
      else
        s = Encode(e);
      slots.push_back({index, s});
    }
    std::vector<uint16_t> added;
    for (const auto& [index, s] : slots)
      if (index == std::string::npos) added.push_back(Get16(&s[0], m_order));
    std::sort(added.begin(), added.end());
    for (size_t i = 0; i < oldCount; ++i) {
      if (!used[i] &&
          std::binary_search(added.begin(), added.end(), Get16(&m_tiff[oldAt + 2 + 12 * i], m_order)))
        used[i] = removed[i] = true;
    }
    if (std::find(removed.begin(), removed.end(), true) != removed.end()) inPlace = false;
    const uint64_t nextAt = oldAt + 2 + 12 * uint64_t(oldCount);
    if (oldAt != 0 && Dropped(nextAt)) next = 0;
    if (inPlace) {
      for (const auto& [index, s] : slots) {
        uint8_t* p = &m_tiff[oldAt + 2 + 12 * index];
        if (!std::equal(s.begin(), s.end(), p)) std::copy(s.begin(), s.end(), p);
      }
      if (next && InRange(nextAt, 4) && Get32(&m_tiff[nextAt], m_order) != *next)
        Put32(&m_tiff[nextAt], *next, m_order);
      return oldAt;
    }
    std::vector<Slot> all;
    for (size_t i = 0; i < oldCount; ++i) {
      if (used[i]) continue;
      Slot raw;
      std::memcpy(raw.data(), &m_tiff[oldAt + 2 + 12 * i], 12);
      all.push_back(raw);
    }
    for (const auto& [index, s] : slots) all.push_back(s);
    std::stable_sort(all.begin(), all.end(), [&](const Slot& a, const Slot& b) {
      return Get16(&a[0], m_order) < Get16(&b[0], m_order);
    });
    uint32_t nextValue = 0;
    if (next)
      nextValue = *next;
    else if (oldAt != 0 && InRange(nextAt, 4))
      nextValue = Get32(&m_tiff[nextAt], m_order);
    std::vector<uint8_t> dir(2 + 12 * all.size() + 4);
    Put16(dir.data(), static_cast<uint16_t>(all.size()), m_order);
    for (size_t i = 0; i < all.size(); ++i) std::copy(all[i].begin(), all[i].end(), dir.begin() + 2 + 12 * i);
    Put32(&dir[2 + 12 * all.size()], nextValue, m_order);
    return Append(dir.data(), dir.size());
  }

 private:
  bool Dropped(uint64_t at) const { return std::binary_search(m_drop.begin(), m_drop.end(), at); }

  std::vector<uint8_t>& m_tiff;
  char m_order;
  uint64_t m_appendFrom;
  const std::vector<uint32_t>& m_drop;  // sorted
  const OldClaims* m_claims;
};

// An offset in the old block that points past its end: appended data must not complete it.
struct Dangling {
  uint32_t at;   // the 12-byte entry, or the 4-byte next-directory field
  uint16_t tag;  // 0 for a next-directory field
  uint64_t end;  // offset + the size it declares
};

// The offsets in the given directories whose data would lie (partly) past the block's end but
// before `limit`, where appended data could make them readable.
std::vector<Dangling> FindDangling(const std::vector<uint8_t>& tiff, char order,
                                   std::initializer_list<std::pair<uint32_t, bool>> dirs, uint64_t limit) {
  std::vector<Dangling> found;
  std::vector<uint32_t> seen;
  for (const auto& dir : dirs) {
    const uint32_t dirAt = dir.first;  // a plain local: the lambdas below capture it
    const bool followsNext = dir.second;
    if (dirAt == 0 || uint64_t(dirAt) + 2 > tiff.size() ||
        std::find(seen.begin(), seen.end(), dirAt) != seen.end())
      continue;
    seen.push_back(dirAt);
    const size_t count = std::min<size_t>(Get16(&tiff[dirAt], order), (tiff.size() - dirAt - 2) / 12);
    auto slot = [&](size_t i) { return &tiff[dirAt + 2 + 12 * i]; };
    // The length that goes with a thumbnail or strip offset, from the same directory.
    auto lengthOf = [&](uint16_t tag) -> uint64_t {
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = slot(i);
        if (Get16(p, order) != tag || Get32(p + 4, order) != 1) continue;
        return Get16(p + 2, order) == 3 ? Get16(p + 8, order) : Get32(p + 8, order);
      }
      return 1;
    };
    auto add = [&](uint32_t at, uint16_t tag, uint64_t start, uint64_t size) {
      const uint64_t end = start + std::max<uint64_t>(size, 1);
      if (end > tiff.size() && end <= limit) found.push_back({at, tag, end});
    };
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* p = slot(i);
      const uint16_t tag = Get16(p, order);
      const uint16_t type = Get16(p + 2, order);
      const uint32_t n = Get32(p + 4, order);
      const uint64_t size = uint64_t(n) * ExifTypeSize(type);
      const uint32_t at = static_cast<uint32_t>(dirAt + 2 + 12 * i);
      const uint32_t value = Get32(p + 8, order);
      if (size > 4)
        add(at, tag, value, size);
      else if ((tag == exif_tag::kExifIfd || tag == exif_tag::kGpsIfd || tag == exif_tag::kInteropIfd) &&
               n == 1 && ExifTypeSize(type) == 4)
        add(at, tag, value, 6);  // an empty directory: its count and next field
      else if (tag == exif_tag::kThumbnailOffset && n == 1 && ExifTypeSize(type) == 4)
        add(at, tag, value, lengthOf(exif_tag::kThumbnailLength));
      else if (tag == 0x0111 && n == 1 && ExifTypeSize(type) == 4)
        add(at, tag, value, lengthOf(0x0117));
    }
    const uint64_t nextAt = dirAt + 2 + 12 * uint64_t(count);
    if (followsNext && nextAt + 4 <= tiff.size()) {
      const uint32_t next = Get32(&tiff[nextAt], order);
      if (next != 0) add(static_cast<uint32_t>(nextAt), 0, next, 6);
    }
  }
  return found;
}

}  // namespace

void JpegExifFile::DropThumbnail() {
  thumbnailEntries.clear();
  thumbnailData.clear();
  m_dropThumbnail = true;
}

void JpegExifFile::SetThumbnailData(std::vector<uint8_t> jpeg) {
  thumbnailData = std::move(jpeg);
}

unsigned JpegExifFile::AliasDirs() const {
  static const Dir kReadOrder[] = {kIfd0, kIfd1, kExif, kGps, kInterop};
  unsigned aliases = 0;
  for (size_t i = 0; i < std::size(kReadOrder); ++i)
    for (size_t j = 0; j < i; ++j)
      if (m_dirOffset[kReadOrder[i]] != 0 && m_dirOffset[kReadOrder[i]] == m_dirOffset[kReadOrder[j]])
        aliases |= 1u << kReadOrder[i];
  return aliases;
}

bool JpegExifFile::AliasesUnchanged(unsigned aliases) const {
  if (aliases == 0) return true;
  const char order = byteOrder == 'M' ? 'M' : 'I';
  if ((aliases & (1u << kIfd1)) &&
      (m_dropThumbnail || (m_thumbSize != 0 && (thumbnailData.size() != m_thumbSize ||
                                                !std::equal(thumbnailData.begin(), thumbnailData.end(),
                                                            m_tiff.begin() + m_thumbOffset)))))
    return false;
  std::vector<uint8_t> copy = m_tiff;
  const std::vector<uint32_t> none;
  const InPlaceTiff probe(copy, order, 0, none);
  const std::vector<ExifEntry>* lists[kDirCount] = {};
  lists[kIfd0] = &ifd0Entries;
  lists[kExif] = &exifEntries;
  lists[kGps] = &gpsEntries;
  lists[kInterop] = &interopEntries;
  lists[kIfd1] = &thumbnailEntries;
  for (int d = 0; d < kDirCount; ++d) {
    if (!(aliases & (1u << d))) continue;
    const uint32_t at = m_dirOffset[d];
    for (const ExifEntry& e : *lists[d]) {
      Slot old{};
      // A new entry, or one changed since it was read, would have to be written through it.
      if (e.entryOffset < at + 2 || (e.entryOffset - at - 2) % 12 != 0 || !probe.OldSlot(e, old) ||
          !probe.Unchanged(e, old))
        return false;
    }
  }
  return true;
}

bool JpegExifFile::BuildTiff(std::vector<uint8_t>& tiff) const {
  const char order = byteOrder == 'M' ? 'M' : 'I';
  // A directory that is another's (a pointer back to one read before) keeps its pointer and is
  // written only through that other; changed itself, only the whole layout can give it a place.
  if (!AliasesUnchanged(AliasDirs())) return BuildTiffWhole(tiff);
  const uint64_t limit = kMaxApp1Payload - kTiffStart;
  const std::vector<Dangling> dangling = FindDangling(m_tiff, order,
                                                      {{m_dirOffset[kIfd0], true},
                                                       {m_dirOffset[kExif], false},
                                                       {m_dirOffset[kGps], false},
                                                       {m_dirOffset[kInterop], false},
                                                       {m_dirOffset[kIfd1], true}},
                                                      limit);
  uint64_t appendFrom = 0;
  for (const Dangling& d : dangling) appendFrom = std::max(appendFrom, d.end);
  BuildInPlace(tiff, appendFrom, {});
  if (tiff.size() > limit && !dangling.empty()) {
    // Past them the block would not fit: those entries go instead of the whole layout.
    std::vector<uint32_t> drop;
    for (const Dangling& d : dangling) drop.push_back(d.at);
    std::sort(drop.begin(), drop.end());
    BuildInPlace(tiff, 0, drop);
    if (tiff.size() <= limit) {
      for (const Dangling& d : dangling) {
        char text[96];
        if (d.tag != 0)
          std::snprintf(text, sizeof text, "EXIF tag 0x%04X left out: its offset points past the EXIF block",
                        d.tag);
        else
          std::snprintf(text, sizeof text, "EXIF next-directory offset past the EXIF block cleared");
        ExifNotice(4, text, path);
      }
      return true;
    }
  }
  if (tiff.size() > limit) {
    ExifNotice(4, "EXIF block rewritten whole: changed in place it would exceed the APP1 segment", path);
    return BuildTiffWhole(tiff);
  }
  return true;
}

void JpegExifFile::BuildInPlace(std::vector<uint8_t>& tiff, uint64_t appendFrom,
                                const std::vector<uint32_t>& drop) const {
  const char order = byteOrder == 'M' ? 'M' : 'I';
  tiff = m_tiff;
  if (tiff.size() < 8) tiff = {uint8_t(order), uint8_t(order), 0, 0, 0, 0, 0, 0};
  Put16(&tiff[2], 42, order);
  const OldClaims claims(
      m_tiff, order,
      {m_dirOffset[kIfd0], m_dirOffset[kExif], m_dirOffset[kGps], m_dirOffset[kInterop], m_dirOffset[kIfd1]},
      makerNoteOffset,
      makerNoteOffset && FindTag(exif_tag::kMakerNote) ? FindTag(exif_tag::kMakerNote)->data.size() : 0);
  InPlaceTiff w(tiff, order, appendFrom, drop, &claims);
  // A directory that is another's is not written: its pointer keeps its old value.
  const unsigned aliases = AliasDirs();
  auto own = [&](Dir d) { return (aliases & (1u << d)) == 0; };

  const uint32_t interopOff =
      own(kInterop) ? w.Directory(interopEntries, m_dirOffset[kInterop], {}, std::nullopt) : 0;
  std::vector<std::pair<uint16_t, uint32_t>> exifPointers;
  if (interopOff != 0) exifPointers.push_back({exif_tag::kInteropIfd, interopOff});
  const uint32_t exifOff =
      own(kExif) ? w.Directory(exifEntries, m_dirOffset[kExif], exifPointers, std::nullopt) : 0;
  const uint32_t gpsOff = own(kGps) ? w.Directory(gpsEntries, m_dirOffset[kGps], {}, std::nullopt) : 0;

  uint32_t ifd1Off = 0;
  if (!m_dropThumbnail && m_dirOffset[kIfd1] != 0 && own(kIfd1)) {
    std::vector<std::pair<uint16_t, uint32_t>> thumbPointers;
    const bool changed =
        m_thumbSize != 0 && !thumbnailData.empty() &&
        (thumbnailData.size() != m_thumbSize ||
         !std::equal(thumbnailData.begin(), thumbnailData.end(), m_tiff.begin() + m_thumbOffset));
    if (changed) {
      // A turned thumbnail goes back into its place when it fits, else after everything.
      uint32_t at = m_thumbOffset;
      if (thumbnailData.size() <= m_thumbSize) {
        std::copy(thumbnailData.begin(), thumbnailData.end(), tiff.begin() + at);
        std::fill_n(tiff.begin() + at + thumbnailData.size(), m_thumbSize - thumbnailData.size(), 0);
      } else {
        at = w.Append(thumbnailData.data(), thumbnailData.size());
      }
      thumbPointers = {{exif_tag::kThumbnailOffset, at},
                       {exif_tag::kThumbnailLength, static_cast<uint32_t>(thumbnailData.size())}};
    }
    ifd1Off = w.Directory(thumbnailEntries, m_dirOffset[kIfd1], thumbPointers, std::nullopt);
  }

  std::vector<ExifEntry> ifd0 = ifd0Entries;
  std::vector<std::pair<uint16_t, uint32_t>> ifd0Pointers;
  if (exifOff != 0) {
    if (!HasTag(ifd0, exif_tag::kExifIfd)) InsertSorted(ifd0, PointerEntry(exif_tag::kExifIfd, order));
    ifd0Pointers.push_back({exif_tag::kExifIfd, exifOff});
  }
  if (gpsOff != 0) {
    if (!HasTag(ifd0, exif_tag::kGpsIfd)) InsertSorted(ifd0, PointerEntry(exif_tag::kGpsIfd, order));
    ifd0Pointers.push_back({exif_tag::kGpsIfd, gpsOff});
  }
  std::optional<uint32_t> next;
  if (m_dropThumbnail || m_dirOffset[kIfd0] == 0)
    next = 0;
  else if (m_dirOffset[kIfd1] != 0 && own(kIfd1))
    next = ifd1Off;
  const uint32_t ifd0Off = w.Directory(ifd0, m_dirOffset[kIfd0], ifd0Pointers, next);
  if (ifd0Off != 0 && Get32(&tiff[4], order) != ifd0Off) Put32(&tiff[4], ifd0Off, order);
}

bool JpegExifFile::BuildTiffWhole(std::vector<uint8_t>& tiff) const {
  const char order = byteOrder == 'M' ? 'M' : 'I';
  // Pointer tags are rewritten where they belong and dropped anywhere else: a stale offset would
  // point into the new block at random data.
  auto filtered = [](const std::vector<ExifEntry>& list, std::initializer_list<uint16_t> own) {
    static const uint16_t kPointers[] = {exif_tag::kExifIfd,
                                         exif_tag::kGpsIfd,
                                         exif_tag::kInteropIfd,
                                         exif_tag::kThumbnailOffset,
                                         exif_tag::kThumbnailLength,
                                         0x014A,
                                         0x0111,
                                         0x0117};
    std::vector<ExifEntry> result;
    result.reserve(list.size() + 2);
    for (const ExifEntry& e : list) {
      bool pointer = std::find(std::begin(kPointers), std::end(kPointers), e.tag) != std::end(kPointers);
      bool owned = std::find(own.begin(), own.end(), e.tag) != own.end();
      if (pointer && !owned) continue;
      if (owned && HasTag(result, e.tag)) continue;
      result.push_back(e);
    }
    return result;
  };
  std::vector<ExifEntry> ifd0 = filtered(ifd0Entries, {exif_tag::kExifIfd, exif_tag::kGpsIfd});
  std::vector<ExifEntry> exif = filtered(exifEntries, {exif_tag::kInteropIfd});
  std::vector<ExifEntry> gps = filtered(gpsEntries, {});
  std::vector<ExifEntry> interop = filtered(interopEntries, {});
  bool haveThumb = !thumbnailData.empty() && !thumbnailEntries.empty();
  std::vector<ExifEntry> ifd1;
  if (haveThumb) {
    ifd1 = filtered(thumbnailEntries, {exif_tag::kThumbnailOffset, exif_tag::kThumbnailLength});
    if (!HasTag(ifd1, exif_tag::kThumbnailOffset) || !HasTag(ifd1, exif_tag::kThumbnailLength)) {
      haveThumb = false;
      ifd1.clear();
    }
  }
  if (!exif.empty() && !HasTag(ifd0, exif_tag::kExifIfd))
    InsertSorted(ifd0, PointerEntry(exif_tag::kExifIfd, order));
  bool writeExif = HasTag(ifd0, exif_tag::kExifIfd);
  if (!gps.empty() && !HasTag(ifd0, exif_tag::kGpsIfd))
    InsertSorted(ifd0, PointerEntry(exif_tag::kGpsIfd, order));
  bool writeGps = HasTag(ifd0, exif_tag::kGpsIfd);
  bool writeInterop = !interop.empty() && HasTag(exif, exif_tag::kInteropIfd);
  if (!writeInterop) {
    std::erase_if(exif, [](const ExifEntry& e) { return e.tag == exif_tag::kInteropIfd; });
  }
  if (!writeExif) exif.clear();

  // Directories and data are laid out after the header, except that maker notes whose inner
  // offsets count from the TIFF header keep their old offset: everything else, IFD0 included, is
  // laid out around them.
  auto dirSize = [](const std::vector<ExifEntry>& d) { return uint64_t(2 + 12 * d.size() + 4); };
  uint64_t cursor = 8;
  const ExifEntry* makerNote = nullptr;
  for (const ExifEntry& e : exif) {
    if (e.tag == exif_tag::kMakerNote && e.data.size() > 4) makerNote = &e;
  }
  uint64_t resStart = 0, resEnd = 0;
  if (makerNote && makerNoteOffset && *makerNoteOffset >= cursor &&
      uint64_t(*makerNoteOffset) + makerNote->data.size() <= kMaxApp1Payload) {
    resStart = *makerNoteOffset;
    resEnd = resStart + makerNote->data.size();
  } else if (makerNote && makerNoteOffset) {
    Trace("Maker note moved from offset 0x%x", *makerNoteOffset);
  }
  auto allocate = [&](uint64_t size) {
    uint64_t pos = (cursor + 1) & ~uint64_t(1);
    if (resEnd > resStart && pos < resEnd && pos + size > resStart) pos = (resEnd + 1) & ~uint64_t(1);
    cursor = pos + size;
    return pos;
  };
  const uint64_t ifd0Off = allocate(dirSize(ifd0));
  const uint64_t exifOff = writeExif ? allocate(dirSize(exif)) : 0;
  const uint64_t gpsOff = writeGps ? allocate(dirSize(gps)) : 0;
  const uint64_t interopOff = writeInterop ? allocate(dirSize(interop)) : 0;
  const uint64_t ifd1Off = haveThumb ? allocate(dirSize(ifd1)) : 0;

  struct Placed {
    const ExifEntry* entry;
    uint64_t offset;
  };
  std::vector<Placed> placed;
  auto place = [&](const std::vector<ExifEntry>& dir) {
    for (const ExifEntry& e : dir) {
      if (e.data.size() <= 4) continue;
      uint64_t off = (&e == makerNote && resEnd > resStart) ? resStart : allocate(e.data.size());
      placed.push_back({&e, off});
    }
  };
  place(ifd0);
  if (writeExif) place(exif);
  if (writeGps) place(gps);
  if (writeInterop) place(interop);
  if (haveThumb) place(ifd1);
  uint64_t thumbOff = haveThumb ? allocate(thumbnailData.size()) : 0;
  const uint64_t tiffSize = std::max(cursor, resEnd);
  if (kTiffStart + tiffSize > kMaxApp1Payload) {
    Trace("EXIF block too large");
    return false;
  }

  tiff.assign(tiffSize, 0);
  tiff[0] = tiff[1] = static_cast<uint8_t>(order);
  Put16(&tiff[2], 42, order);
  Put32(&tiff[4], static_cast<uint32_t>(ifd0Off), order);
  auto offsetOf = [&](const ExifEntry& e) -> uint64_t {
    for (const Placed& p : placed) {
      if (p.entry == &e) return p.offset;
    }
    return 0;
  };
  auto writeDir = [&](const std::vector<ExifEntry>& dir, uint64_t at, uint32_t next,
                      const std::vector<std::pair<uint16_t, uint32_t>>& pointers) {
    Put16(&tiff[at], static_cast<uint16_t>(dir.size()), order);
    uint64_t pos = at + 2;
    for (const ExifEntry& e : dir) {
      uint8_t* p = &tiff[pos];
      auto ptr =
          std::find_if(pointers.begin(), pointers.end(), [&](const auto& x) { return x.first == e.tag; });
      Put16(p, e.tag, order);
      if (ptr != pointers.end()) {
        // Rewritten as one LONG whatever the source stored.
        uint16_t type = (e.tag == exif_tag::kThumbnailLength && e.type == 3) ? 3 : 4;
        Put16(p + 2, type, order);
        Put32(p + 4, 1, order);
        if (type == 3)
          Put16(p + 8, static_cast<uint16_t>(ptr->second), order);
        else
          Put32(p + 8, ptr->second, order);
      } else {
        Put16(p + 2, e.type, order);
        Put32(p + 4, e.count, order);
        if (e.data.size() > 4) {
          uint64_t off = offsetOf(e);
          Put32(p + 8, static_cast<uint32_t>(off), order);
          std::memcpy(&tiff[off], e.data.data(), e.data.size());
        } else if (!e.data.empty()) {
          std::memcpy(p + 8, e.data.data(), e.data.size());
        } else {
          Put32(p + 8, e.value, order);
        }
      }
      pos += 12;
    }
    Put32(&tiff[pos], next, order);
  };
  writeDir(ifd0, ifd0Off, haveThumb ? static_cast<uint32_t>(ifd1Off) : 0,
           {{exif_tag::kExifIfd, static_cast<uint32_t>(exifOff)},
            {exif_tag::kGpsIfd, static_cast<uint32_t>(gpsOff)}});
  if (writeExif) writeDir(exif, exifOff, 0, {{exif_tag::kInteropIfd, static_cast<uint32_t>(interopOff)}});
  if (writeGps) writeDir(gps, gpsOff, 0, {});
  if (writeInterop) writeDir(interop, interopOff, 0, {});
  if (haveThumb) {
    writeDir(ifd1, ifd1Off, 0,
             {{exif_tag::kThumbnailOffset, static_cast<uint32_t>(thumbOff)},
              {exif_tag::kThumbnailLength, static_cast<uint32_t>(thumbnailData.size())}});
    std::memcpy(&tiff[thumbOff], thumbnailData.data(), thumbnailData.size());
  }
  return true;
}
bool JpegExifFile::BuildHeader(std::vector<uint8_t>& out) const {
  std::vector<uint8_t> tiff;
  // A file that had no EXIF block and got no tag set keeps having none.
  if (byteOrder != 0 && !BuildTiff(tiff)) return false;
  if (kTiffStart + tiff.size() > kMaxApp1Payload) {
    Trace("EXIF block too large");
    return false;
  }
  out.clear();
  auto put16be = [&](uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
  };
  auto putSegment = [&](const JpegSegment& s) {
    put16be(s.marker);
    put16be(static_cast<uint16_t>(s.data.size() + 2));
    out.insert(out.end(), s.data.begin(), s.data.end());
  };
  bool placed = byteOrder == 0;
  auto putExif = [&] {
    put16be(kAPP1);
    put16be(static_cast<uint16_t>(2 + kTiffStart + tiff.size()));
    static const uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    out.insert(out.end(), kExifHeader, kExifHeader + 6);
    out.insert(out.end(), tiff.begin(), tiff.end());
    placed = true;
  };
  put16be(kSOI);
  // The block goes where the old one was, so nothing around it moves; a new one follows the
  // JFIF APP0, which must come right after SOI.
  const bool hadBlock = std::any_of(segments.begin(), segments.end(), IsExifApp1);
  size_t i = 0;
  if (!hadBlock) {
    while (i < segments.size() && (segments[i].marker == kSOI || segments[i].marker == kAPP0)) {
      if (segments[i].marker == kAPP0) putSegment(segments[i]);
      ++i;
    }
    if (!placed) putExif();
  }
  for (; i < segments.size(); ++i) {
    const JpegSegment& s = segments[i];
    if (s.marker == kSOI || s.marker == kEOI) continue;
    if (IsExifApp1(s) && !placed) {
      putExif();
      continue;
    }
    if (s.marker == kSOS) {
      put16be(kSOS);
      break;
    }
    if (s.data.size() > kMaxApp1Payload) return false;
    putSegment(s);
  }
  return true;
}

int JpegExifFile::SetXmpOrientation(uint16_t orientation) {
  static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
  static const char kName[] = "tiff:Orientation";
  if (orientation < 1 || orientation > 9) return 0;
  int changed = 0;
  for (JpegSegment& s : segments) {
    if (s.marker != kAPP1 || s.data.size() < sizeof kXmp ||
        std::memcmp(s.data.data(), kXmp, sizeof kXmp) != 0)
      continue;
    auto& d = s.data;
    auto it = d.begin();
    while ((it = std::search(it, d.end(), kName, kName + sizeof kName - 1)) != d.end()) {
      it += sizeof kName - 1;
      auto p = it;
      auto skipSpace = [&] {
        while (p != d.end() && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
      };
      skipSpace();
      if (p == d.end()) break;
      if (*p == '=') {  // attribute: tiff:Orientation="6"
        ++p;
        skipSpace();
        if (p == d.end() || (*p != '"' && *p != '\'')) continue;
        ++p;
      } else if (*p == '>') {  // element: <tiff:Orientation>6</tiff:Orientation>
        ++p;
        skipSpace();
      } else {
        continue;
      }
      if (p == d.end() || *p < '1' || *p > '9' || p + 1 == d.end()) continue;
      const uint8_t after = *(p + 1);
      if (after != '"' && after != '\'' && after != '<' && after != ' ') continue;
      if (*p != '0' + orientation) {
        *p = static_cast<uint8_t>('0' + orientation);
        ++changed;
      }
    }
  }
  return changed;
}

}  // namespace brisko
