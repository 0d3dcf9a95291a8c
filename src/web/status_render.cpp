#include "web/status_render.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

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
  if (t == 0) return {};
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::string StateText(const StatusSnapshot& s) {
  std::string text = StationStateName(s.state);
  if (s.state == StationState::Running && !s.action.empty()) text += " " + s.action;
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
    {"deleted", "Deleted", &StatusCounts::deleted},
    {"tagged", "Tagged", &StatusCounts::tagged},
    {"rotated", "Rotated", &StatusCounts::rotated},
    {"picturesMade", "Pictures made", &StatusCounts::picturesMade},
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

std::string RenderStatusJson(const StatusSnapshot& s) {
  std::string j = "{";
  j += "\"name\":" + JsonString(s.name);
  j += ",\"host\":" + JsonString(s.host);
  j += ",\"version\":" + JsonString(s.version);
  j += ",\"state\":" + JsonString(StationStateName(s.state));
  j += ",\"stateText\":" + JsonString(StateText(s));
  j += ",\"action\":" + JsonString(s.action);
  j += ",\"progress\":{\"position\":" + std::to_string(s.progressPosition) +
       ",\"range\":" + std::to_string(s.progressRange) + ",\"text\":" + JsonString(s.progressText) + "}";
  j += ",\"lastPass\":" + (s.lastPass ? JsonString(LocalTime(s.lastPass, "%Y-%m-%dT%H:%M:%S")) : "null");
  j += ",\"today\":{\"day\":" + JsonString(s.day);
  for (const CountField& c : kCounts)
    j += std::string(",\"") + c.key + "\":" + std::to_string(s.today.*c.field);
  j += "},\"destinations\":[";
  for (size_t i = 0; i < s.destinations.size(); ++i) {
    const StatusDestination& d = s.destinations[i];
    if (i) j += ",";
    j += "{\"action\":" + JsonString(d.action) + ",\"folder\":" + JsonString(d.folder) +
         ",\"known\":" + (d.known ? "true" : "false") + ",\"freeBytes\":" + std::to_string(d.freeBytes) +
         ",\"totalBytes\":" + std::to_string(d.totalBytes) + ",\"low\":" + (d.low ? "true" : "false") +
         ",\"text\":" + JsonString(SpaceText(d)) + "}";
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

std::string RenderStatusHtml(const StatusSnapshot& s, std::string_view query) {
  const std::string q = HtmlEscape(query);
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
  h += "<section><h2>State</h2><p id=\"state\" class=\"state " +
       std::string(s.state == StationState::Running ? "running" : "") + "\">" + HtmlEscape(StateText(s)) +
       "</p>";
  const int range = s.state == StationState::Running && s.progressRange > 0 ? s.progressRange : 0;
  h += "<progress id=\"progress\" max=\"" + std::to_string(range > 0 ? range : 1) + "\" value=\"" +
       std::to_string(range > 0 ? s.progressPosition : 0) + "\"" + (range > 0 ? "" : " hidden") +
       "></progress><p id=\"progressText\">" + HtmlEscape(ProgressText(s)) + "</p>";
  h += "<p>Last pass: <span id=\"lastPass\">" +
       (s.lastPass ? HtmlEscape(LocalTime(s.lastPass, "%Y-%m-%d %H:%M:%S")) : std::string("none yet")) +
       "</span></p></section>\n";
  h += "<section><h2>Today <span id=\"day\">" + HtmlEscape(s.day) + "</span></h2><dl class=\"counts\">";
  for (const CountField& c : kCounts) {
    const int n = s.today.*c.field;
    h += std::string("<div") + (c.field == &StatusCounts::failures && n > 0 ? " class=\"bad\"" : "") +
         "><dt>" + c.caption + "</dt><dd id=\"count-" + c.key + "\">" + std::to_string(n) + "</dd></div>";
  }
  h += "</dl></section>\n<section><h2>Free space</h2><ul id=\"destinations\">";
  for (const StatusDestination& d : s.destinations) {
    h += std::string("<li") + (d.low || !d.known ? " class=\"bad\"" : "") + "><span class=\"folder\">" +
         HtmlEscape(d.folder) + "</span> <span class=\"space\">" + HtmlEscape(SpaceText(d)) + "</span></li>";
  }
  if (s.destinations.empty()) h += "<li class=\"none\">No destinations</li>";
  h += "</ul></section>\n<section><h2>Action log</h2><ol id=\"log\">";
  for (const StatusLogLine& l : s.log) {
    h += std::string("<li") + (l.failed ? " class=\"failed\"" : "") + "><time>" +
         HtmlEscape(LocalTime(l.time, "%H:%M:%S")) + "</time> " + HtmlEscape(l.text) + "</li>";
  }
  h += "</ol></section>\n<footer><a href=\"/" + q + "\">Reload</a></footer></body></html>\n";
  return h;
}

}  // namespace brisko
