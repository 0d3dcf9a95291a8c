#pragma once
// The status page's documents, made from a snapshot. Everything from outside (file names from
// cards, action names) is escaped for where it lands, and bytes that are not UTF-8 become
// U+FFFD, so no photo name can add markup or break the JSON.
#include <string>
#include <string_view>

#include "app/status_snapshot.h"

namespace brisko {

// Valid UTF-8, each invalid byte replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
std::string HtmlEscape(std::string_view text);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

std::string RenderStatusJson(const StatusSnapshot& s);
// `query` ("" or "?key=...") is added to the page's own links so that they pass the key on.
std::string RenderStatusHtml(const StatusSnapshot& s, std::string_view query);

// The compiled-in script and style sheet (the policy allows nothing inline).
extern const char kStatusPageScript[];
extern const char kStatusPageStyle[];

}  // namespace brisko
