#include "engine/printing/paper_count.h"

#include <algorithm>
#include <charconv>

#include "support/settings_store.h"

namespace brisko {

namespace {

constexpr const char* kLeft = "m_iPrintsLeft";
constexpr const char* kPerLoad = "m_iPrintsPerLoad";
// Below any count a real counter reaches: "no value".
constexpr int kNone = -2;

std::string Section(const std::string& queue) {
  return "Printers\\" + queue;
}

std::optional<int> ParseCount(std::string_view text) {
  if (text == "off") return -1;
  int n = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || p != text.data() + text.size() || n < 0 || n > kMostPrintsPerLoad)
    return std::nullopt;
  return n;
}

}  // namespace

bool PlausibleQueueName(std::string_view name) {
  if (name.empty() || name.size() > 127) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > ' ' && u != 127 && c != '/' && c != '\\' && c != '#';
  });
}

int PaperCount::Left(const std::string& queue) {
  if (!PlausibleQueueName(queue)) return -1;
  const int left = m_store.GetProfileInt(Section(queue), kLeft, kNone);
  return left < 0 ? -1 : std::min(left, kMostPrintsPerLoad);
}

int PaperCount::PerLoad(const std::string& queue) {
  const int n = PlausibleQueueName(queue) ? m_store.GetProfileInt(Section(queue), kPerLoad, kNone) : kNone;
  return n > 0 && n <= kMostPrintsPerLoad ? n : kFirstPrintsPerLoad;
}

bool PaperCount::Load(const std::string& queue, int count) {
  if (!PlausibleQueueName(queue)) return false;
  if (count < 0) {
    m_store.DeleteProfileValue(Section(queue), kLeft);  // false also when it was not counted
    return m_store.GetProfileInt(Section(queue), kLeft, kNone) == kNone;
  }
  count = std::min(count, kMostPrintsPerLoad);
  if (count > 0 && !m_store.WriteProfileInt(Section(queue), kPerLoad, count)) return false;
  return m_store.WriteProfileInt(Section(queue), kLeft, count);
}

int PaperCount::Use(const std::string& queue, int pages) {
  const int left = Left(queue);
  if (left < 0) return left;
  const int now = std::max(0, left - std::max(0, pages));
  m_store.WriteProfileInt(Section(queue), kLeft, now);
  return now;
}

std::optional<PaperLoad> ParsePaperLoad(std::string_view text) {
  PaperLoad load;
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    // A number alone is a count, never a queue.
    if (text == "off" || (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos)) {
      load.count = ParseCount(text);
      return load.count ? std::optional<PaperLoad>(load) : std::nullopt;
    }
    if (!PlausibleQueueName(text)) return std::nullopt;
    load.queue = std::string(text);
    return load;
  }
  const std::string_view queue = text.substr(0, colon);
  const auto count = ParseCount(text.substr(colon + 1));
  if (!count || !PlausibleQueueName(queue)) return std::nullopt;
  load.queue = std::string(queue);
  load.count = count;
  return load;
}

std::string FormatPaperLoad(const PaperLoad& load) {
  const std::string count = !load.count ? "" : *load.count < 0 ? "off" : std::to_string(*load.count);
  if (load.queue.empty()) return count;
  return count.empty() ? load.queue : load.queue + ":" + count;
}

}  // namespace brisko
