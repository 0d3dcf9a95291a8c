#include "web/status_render.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "support/text.h"

namespace brisko {

namespace {

// Length of the valid UTF-8 sequence at `i`, 0 when the byte there starts none.
size_t Utf8SequenceAt(std::string_view t, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(t[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > t.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  }
  return n;
}

std::string LocalTime(std::time_t t, const char* format) {
  return t == 0 ? std::string() : LocalTimeText(t, format);
}

std::string StateText(const StatusSnapshot& s) {
  std::string text = StationStateName(s.state);
  if (s.state == StationState::Running && !s.action.empty()) text += " " + s.action;
  const std::string waiting = WaitingText(s.busy);
  if (!waiting.empty()) text += " - " + waiting;
  return text;
}

std::string ProgressText(const StatusSnapshot& s) {
  if (s.state != StationState::Running || s.progressRange <= 0) return {};
  return s.progressText + " " + std::to_string(s.progressPosition) + " of " + std::to_string(s.progressRange);
}

std::string Bytes(uint64_t n) {
  char text[32];
  if (n >= 1000ull * 1000 * 1000)
    std::snprintf(text, sizeof text, "%.1f GB", double(n) / 1e9);
  else
    std::snprintf(text, sizeof text, "%.0f MB", double(n) / 1e6);
  return text;
}

std::string SpaceText(const StatusDestination& d) {
  if (!d.known) return "cannot be read";
  std::string text = Bytes(d.freeBytes) + " free of " + Bytes(d.totalBytes);
  if (d.low) text += " (low)";
  return text;
}

struct CountField {
  const char* key;
  const char* caption;
  int StatusCounts::*field;
};
constexpr CountField kCounts[] = {
    {"moved", "Moved", &StatusCounts::moved},
    {"copied", "Copied", &StatusCounts::copied},
    {"checked", "Checked", &StatusCounts::checked},
    {"deleted", "Deleted", &StatusCounts::deleted},
    {"tagged", "Tagged", &StatusCounts::tagged},
    {"rotated", "Rotated", &StatusCounts::rotated},
    {"picturesMade", "Pictures made", &StatusCounts::picturesMade},
    {"pagesPrinted", "Pages printed", &StatusCounts::pagesPrinted},
    {"failures", "Failures", &StatusCounts::failures},
};

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8SequenceAt(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : ValidUtf8(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char ch : ValidUtf8(text)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c == '<') {
      out += "\\u003c";  // harmless even if someone inlines it into a page
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string HtmlText(std::string_view text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  size_t i = 0;
  while (i < valid.size()) {
    size_t end = valid.find(' ', i);
    if (end == std::string::npos) end = valid.size();
    const std::string_view word = std::string_view(valid).substr(i, end - i);
    const bool plain =
        std::all_of(word.begin(), word.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    out += plain ? HtmlEscape(word) : "<bdi>" + HtmlEscape(word) + "</bdi>";
    if (end < valid.size()) out += ' ';
    i = end + 1;
  }
  return out;
}

namespace {

const char* VerdictClass(VerdictLevel level) {
  switch (level) {
    case VerdictLevel::Ok:
      return "ok";
    case VerdictLevel::Stuck:
      return "stuck";
    case VerdictLevel::Failing:
      return "failing";
    case VerdictLevel::Stopped:
      return "stopped";
    case VerdictLevel::Waiting:
      return "waiting";
  }
  return "ok";
}

std::string JsonTime(std::time_t t, const char* format = "%Y-%m-%dT%H:%M:%S") {
  return t ? JsonString(LocalTime(t, format)) : std::string("null");
}

std::string AgeText(std::time_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + " s ago";
  if (seconds < 7200) return std::to_string(seconds / 60) + " min ago";
  return std::to_string(seconds / 3600) + " h ago";
}

std::string PhotosText(int n) {
  return std::to_string(n) + (n == 1 ? " photo" : " photos");
}

// "Broken move: 1 photo: Not a directory: /srv/out/sub (470 tries since 20:13) a.jpg"
std::string FailureText(const StatusFailureGroup& g) {
  std::string text = g.action + ": " + PhotosText(g.photos) + ": " + g.reason + " (" +
                     std::to_string(g.tries) + (g.tries == 1 ? " try" : " tries") + " since " +
                     LocalTime(g.since, "%H:%M") + ")";
  if (!g.file.empty()) text += " " + g.file;
  return text;
}

std::string LastPassText(const StatusSnapshot& s, std::time_t now) {
  return s.lastPass ? AgeText(now - s.lastPass) : std::string("none yet");
}

std::string ThumbUrl(uint64_t id) {
  return "/thumb/" + std::to_string(id) + ".jpg";
}

// "paper out (media-empty)", or the plain state when nothing is wrong.
std::string PrinterStateText(const PrinterSnapshot& p) {
  if (!p.polled) return "not asked yet";
  std::string text;
  for (const PrinterProblem& problem : p.problems) text += (text.empty() ? "" : ", ") + problem.text;
  // What the operator must do comes first while photos wait for it.
  if (p.photosWaiting > 0 && !p.canPrint) {
    const bool paper = std::any_of(p.problems.begin(), p.problems.end(), [](const PrinterProblem& x) {
      return x.keyword == "media-empty" || x.keyword == "media-needed" || x.keyword == "paper-used-up";
    });
    if (paper) return "Waiting for paper: " + PhotosText(p.photosWaiting);
    return "Waiting: " + PhotosText(p.photosWaiting) + (text.empty() ? "" : " - " + text);
  }
  return p.problems.empty() ? p.state : text;
}

// "1 photo to print, 2 jobs waiting, 14 pages printed today, 36 prints left"
std::string PrinterFiguresText(const PrinterSnapshot& p) {
  std::string text;
  if (p.photosWaiting > 0) text += PhotosText(p.photosWaiting) + " to print, ";
  if (p.jobsWaiting > 0)
    text += std::to_string(p.jobsWaiting) + (p.jobsWaiting == 1 ? " job" : " jobs") + " waiting, ";
  text += std::to_string(p.pagesToday) + (p.pagesToday == 1 ? " page" : " pages") + " printed today";
  if (p.printsLeft >= 0) text += ", " + PrintsLeftText(p.printsLeft);
  return text;
}

// "Supplies: black ink 80%, ribbon unknown"
std::string SuppliesText(const PrinterSnapshot& p) {
  std::string text;
  for (const Marker& m : p.supplies) {
    const std::string& name = m.name.empty() ? m.type : m.name;
    text += (text.empty() ? "Supplies: " : ", ") + name + " " +
            (m.level >= 0 ? std::to_string(std::min(m.level, 100)) + "%" : std::string("level unknown"));
  }
  return text;
}

}  // namespace

std::string RenderStatusJson(const StatusSnapshot& s, std::time_t now) {
  const StatusVerdict verdict = MakeVerdict(s, now);
  std::string j = "{";
  j += "\"name\":" + JsonString(s.name);
  j += ",\"host\":" + JsonString(s.host);
  j += ",\"version\":" + JsonString(s.version);
  j += ",\"state\":" + JsonString(StationStateName(s.state));
  j += ",\"stateText\":" + JsonString(StateText(s));
  j += ",\"verdict\":{\"level\":" + JsonString(VerdictClass(verdict.level)) +
       ",\"text\":" + JsonString(verdict.text) + "}";
  j += ",\"time\":" + JsonTime(now);
  j += ",\"action\":" + JsonString(s.action);
  j += ",\"progress\":{\"position\":" + std::to_string(s.progressPosition) +
       ",\"range\":" + std::to_string(s.progressRange) + ",\"text\":" + JsonString(s.progressText) + "}";
  j += ",\"busy\":{\"action\":" + JsonString(s.busy.action) + ",\"since\":" + JsonTime(s.busy.runSince) +
       ",\"program\":" + JsonString(s.busy.program) + ",\"file\":" + JsonString(s.busy.file) +
       ",\"waitingSince\":" + JsonTime(s.busy.waitSince) + ",\"heldUp\":[";
  for (size_t i = 0; i < s.busy.heldUp.size(); ++i) j += (i ? "," : "") + JsonString(s.busy.heldUp[i]);
  j += "],\"heldUpCount\":" + std::to_string(s.busy.heldUpCount) +
       ",\"text\":" + JsonString(WaitingText(s.busy)) + "}";
  j += ",\"lastPass\":" + JsonTime(s.lastPass);
  j += ",\"lastPassAge\":" +
       (s.lastPass ? std::to_string(std::max<std::time_t>(0, now - s.lastPass)) : "null");
  j += ",\"lastPassText\":" + JsonString(LastPassText(s, now));
  j += ",\"today\":{\"day\":" + JsonString(s.day);
  for (const CountField& c : kCounts)
    j += std::string(",\"") + c.key + "\":" + std::to_string(s.today.*c.field);
  j += "},\"failures\":[";
  for (size_t i = 0; i < s.failures.size(); ++i) {
    const StatusFailureGroup& g = s.failures[i];
    if (i) j += ",";
    j += "{\"action\":" + JsonString(g.action) + ",\"reason\":" + JsonString(g.reason) +
         ",\"file\":" + JsonString(g.file) + ",\"photos\":" + std::to_string(g.photos) +
         ",\"tries\":" + std::to_string(g.tries) + ",\"since\":" + JsonTime(g.since) + ",\"files\":[";
    for (size_t k = 0; k < g.files.size(); ++k) j += (k ? "," : "") + JsonString(g.files[k]);
    j += "],\"check\":" + JsonString(g.check) + ",\"text\":" + JsonString(FailureText(g)) + "}";
  }
  j += "],\"actions\":[";
  for (size_t i = 0; i < s.actions.size(); ++i) {
    const StatusActionRow& a = s.actions[i];
    if (i) j += ",";
    j += "{\"name\":" + JsonString(a.name) + ",\"type\":" + JsonString(a.type) +
         ",\"schedule\":" + JsonString(a.schedule) + ",\"enabled\":" + (a.enabled ? "true" : "false") +
         ",\"source\":" + JsonString(a.source) + ",\"sourceNote\":" + JsonString(a.sourceNote) +
         ",\"sourceIdle\":" + (a.sourceIdle ? "true" : "false") + ",\"lastRun\":" + JsonTime(a.lastRun) +
         ",\"lastSuccess\":" + JsonTime(a.lastSuccess) + ",\"photosToday\":" + std::to_string(a.photosToday) +
         ",\"failingSince\":" + JsonTime(a.failingSince) +
         ",\"failingPhotos\":" + std::to_string(a.failingPhotos) +
         ",\"failingWhy\":" + JsonString(a.failingWhy) + ",\"upload\":" + JsonString(a.upload) +
         ",\"uploadLate\":" + (a.uploadLate ? "true" : "false") + "}";
  }
  j += "],\"placed\":[";
  for (size_t i = 0; i < s.placed.size(); ++i) {
    const StatusPlacedPhoto& p = s.placed[i];
    if (i) j += ",";
    j += "{\"id\":" + std::to_string(p.id) + ",\"name\":" + JsonString(p.name) +
         ",\"action\":" + JsonString(p.action) + ",\"time\":" + JsonTime(p.time) +
         ",\"thumb\":" + JsonString(ThumbUrl(p.id)) + "}";
  }
  j += "],\"destinations\":[";
  for (size_t i = 0; i < s.destinations.size(); ++i) {
    const StatusDestination& d = s.destinations[i];
    if (i) j += ",";
    j += "{\"action\":" + JsonString(d.action) + ",\"folder\":" + JsonString(d.folder) +
         ",\"known\":" + (d.known ? "true" : "false") + ",\"freeBytes\":" + std::to_string(d.freeBytes) +
         ",\"totalBytes\":" + std::to_string(d.totalBytes) + ",\"low\":" + (d.low ? "true" : "false") +
         ",\"text\":" + JsonString(SpaceText(d)) + "}";
  }
  j += "],\"printers\":[";
  for (size_t i = 0; i < s.printers.size(); ++i) {
    const PrinterSnapshot& p = s.printers[i];
    if (i) j += ",";
    j += "{\"queue\":" + JsonString(p.queue) + ",\"state\":" + JsonString(p.state) +
         ",\"stateText\":" + JsonString(PrinterStateText(p)) +
         ",\"canPrint\":" + (p.canPrint ? "true" : "false") +
         ",\"reachable\":" + (p.reachable ? "true" : "false") + ",\"reasons\":[";
    for (size_t k = 0; k < p.problems.size(); ++k) {
      j += std::string(k ? "," : "") + "{\"keyword\":" + JsonString(p.problems[k].keyword) +
           ",\"text\":" + JsonString(p.problems[k].text) +
           ",\"blocks\":" + (p.problems[k].blocks ? "true" : "false") + "}";
    }
    j += "],\"message\":" + JsonString(p.message) + ",\"jobsWaiting\":" + std::to_string(p.jobsWaiting) +
         ",\"pagesToday\":" + std::to_string(p.pagesToday) +
         ",\"printsLeft\":" + (p.printsLeft >= 0 ? std::to_string(p.printsLeft) : "null") +
         ",\"photosWaiting\":" + std::to_string(p.photosWaiting) + ",\"supplies\":[";
    for (size_t k = 0; k < p.supplies.size(); ++k) {
      const Marker& m = p.supplies[k];
      j += std::string(k ? "," : "") + "{\"name\":" + JsonString(m.name) + ",\"type\":" + JsonString(m.type) +
           ",\"level\":" + (m.level >= 0 ? std::to_string(m.level) : "null") + "}";
    }
    j += "],\"figuresText\":" + JsonString(PrinterFiguresText(p)) +
         ",\"suppliesText\":" + JsonString(SuppliesText(p)) + "}";
  }
  j += "],\"log\":[";
  for (size_t i = 0; i < s.log.size(); ++i) {
    const StatusLogLine& l = s.log[i];
    if (i) j += ",";
    j += "{\"time\":" + JsonString(LocalTime(l.time, "%H:%M:%S")) + ",\"text\":" + JsonString(l.text) +
         ",\"failed\":" + (l.failed ? "true" : "false") + "}";
  }
  j += "]}\n";
  return j;
}

namespace {

std::string ActionRowHtml(const StatusActionRow& a) {
  std::string h = std::string("<li class=\"action") + (a.failingPhotos ? " bad" : "") +
                  (a.enabled ? "" : " off") + "\"><b><bdi>" + HtmlEscape(a.name) +
                  "</bdi></b> <span class=\"what\">" + HtmlEscape(a.type) + ", " + HtmlEscape(a.schedule) +
                  (a.enabled ? "" : ", disabled") + "</span>";
  if (!a.source.empty()) {
    h += "<br><span class=\"src\">from <bdi class=\"folder\">" + HtmlEscape(a.source) + "</bdi>" +
         (a.sourceNote.empty() ? ""
                               : std::string(" <span class=\"") + (a.sourceIdle ? "idle" : "note") + "\">" +
                                     HtmlText(a.sourceNote) + "</span>") +
         "</span>";
  }
  h += "<br><span class=\"runs\">last run " +
       (a.lastRun ? HtmlEscape(LocalTime(a.lastRun, "%H:%M:%S")) : "-") + ", last success " +
       (a.lastSuccess ? HtmlEscape(LocalTime(a.lastSuccess, "%H:%M:%S")) : "-") + ", " +
       PhotosText(a.photosToday) + " today</span>";
  if (!a.upload.empty())
    h += std::string("<br><span class=\"upload") + (a.uploadLate ? " late" : "") + "\">" +
         HtmlText(a.upload) + "</span>";
  if (a.failingPhotos) {
    h += "<br><span class=\"why\">failing since " + HtmlEscape(LocalTime(a.failingSince, "%H:%M:%S")) + " (" +
         PhotosText(a.failingPhotos) + "): " + HtmlText(a.failingWhy) + "</span>";
  }
  return h + "</li>";
}

std::string PrinterRowHtml(const PrinterSnapshot& p) {
  std::string h = std::string("<li class=\"printer") + (p.canPrint ? "" : " bad") + "\"><b><bdi>" +
                  HtmlEscape(p.queue) + "</bdi></b>: <span class=\"pstate\">" +
                  HtmlText(PrinterStateText(p)) + "</span>";
  if (!p.message.empty()) h += "<br><span class=\"msg\">" + HtmlText(p.message) + "</span>";
  h += "<br><span class=\"figures\">" + HtmlEscape(PrinterFiguresText(p)) + "</span>";
  const std::string supplies = SuppliesText(p);
  if (!supplies.empty()) h += "<br><span class=\"supplies\">" + HtmlText(supplies) + "</span>";
  return h + "</li>";
}

}  // namespace

std::string RenderStatusHtml(const StatusSnapshot& s, std::string_view query, std::time_t now) {
  const std::string q = HtmlEscape(query);
  const StatusVerdict verdict = MakeVerdict(s, now);
  std::string h;
  h.reserve(16384);
  h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
       "<title>" +
       HtmlEscape(s.host) + " - " + HtmlEscape(s.name) + "</title>";
  h += "<link rel=\"stylesheet\" href=\"/app.css" + q + "\">";
  h += "<script src=\"/app.js" + q + "\" defer></script></head>\n<body>";
  h += "<header><h1 id=\"host\">" + HtmlEscape(s.host) + "</h1><p class=\"sub\"><span id=\"name\">" +
       HtmlEscape(s.name) + "</span> <span id=\"version\">" + HtmlEscape(s.version) +
       "</span></p></header>\n";
  h += std::string("<p id=\"verdict\" class=\"verdict ") + VerdictClass(verdict.level) + "\">" +
       HtmlText(verdict.text) + "</p>";
  h += "<section class=\"figures\"><p class=\"meta\"><span id=\"state\" class=\"state " +
       std::string(s.state == StationState::Running ? "running" : "") + "\">" + HtmlText(StateText(s)) +
       "</span> &middot; last pass <span id=\"lastPass\">" + HtmlEscape(LastPassText(s, now)) + "</span></p>";
  const int range = s.state == StationState::Running && s.progressRange > 0 ? s.progressRange : 0;
  h += "<progress id=\"progress\" max=\"" + std::to_string(range > 0 ? range : 1) + "\" value=\"" +
       std::to_string(range > 0 ? s.progressPosition : 0) + "\"" + (range > 0 ? "" : " hidden") +
       "></progress><p id=\"progressText\">" + HtmlText(ProgressText(s)) + "</p>";
  h += "<ul id=\"failures\">";
  for (const StatusFailureGroup& g : s.failures)
    h += "<li class=\"bad\">" + HtmlText(FailureText(g)) + "</li>";
  h += "</ul>\n<h2>Today <span id=\"day\">" + HtmlEscape(s.day) + "</span></h2><dl class=\"counts\">";
  for (const CountField& c : kCounts) {
    const int n = s.today.*c.field;
    const bool failures = c.field == &StatusCounts::failures;
    h += std::string("<div") + (failures && n > 0 ? " class=\"bad\"" : "") + "><dt>" + c.caption +
         "</dt><dd id=\"count-" + c.key + "\">" + (failures ? PhotosText(n) : std::to_string(n)) +
         "</dd></div>";
  }
  h += "</dl>\n<h2>Actions</h2><ul id=\"actions\">";
  for (const StatusActionRow& a : s.actions) h += ActionRowHtml(a);
  if (s.actions.empty()) h += "<li class=\"none\">No actions</li>";
  h += std::string("</ul>\n<div id=\"printers-box\"") + (s.printers.empty() ? " hidden" : "") +
       "><h2>Printers</h2><ul id=\"printers\">";
  for (const PrinterSnapshot& p : s.printers) h += PrinterRowHtml(p);
  h += "</ul></div>\n<h2>Latest photos</h2><div id=\"placed\">";
  for (const StatusPlacedPhoto& p : s.placed) {
    h += "<figure><img src=\"" + ThumbUrl(p.id) + q + "\" alt=\"\" loading=\"lazy\"><figcaption><bdi>" +
         HtmlEscape(p.name) + "</bdi></figcaption></figure>";
  }
  if (s.placed.empty()) h += "<p class=\"none\">None yet</p>";
  h += "</div>\n<h2>Free space</h2><ul id=\"destinations\">";
  for (const StatusDestination& d : s.destinations) {
    h += std::string("<li") + (d.low || !d.known ? " class=\"bad\"" : "") + "><b><bdi>" +
         HtmlEscape(d.action) + "</bdi></b> <bdi class=\"folder\">" + HtmlEscape(d.folder) +
         "</bdi> <span class=\"space\">" + HtmlEscape(SpaceText(d)) + "</span></li>";
  }
  if (s.destinations.empty()) h += "<li class=\"none\">No destinations</li>";
  h += "</ul>\n<h2>Action log</h2><ol id=\"log\">";
  for (const StatusLogLine& l : s.log) {
    h += std::string("<li") + (l.failed ? " class=\"failed\"" : "") + "><time>" +
         HtmlEscape(LocalTime(l.time, "%H:%M:%S")) + "</time> " + HtmlText(l.text) + "</li>";
  }
  h += "</ol></section>\n<footer><a href=\"/" + q + "\">Reload</a></footer></body></html>\n";
  return h;
}

}  // namespace brisko
