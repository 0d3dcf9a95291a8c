#pragma once
// The status page's documents, made from a snapshot. Everything from outside (file names from
// cards, action names) is escaped for where it lands, and bytes that are not UTF-8 become
// U+FFFD, so no photo name can add markup or break the JSON.
#include <ctime>
#include <string>
#include <string_view>

#include "app/status_snapshot.h"

namespace brisko {

// Valid UTF-8, each invalid byte replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
std::string HtmlEscape(std::string_view text);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// Escaped for HTML, with every word that is not plain ASCII in a <bdi>: a name holding a
// right-to-left override (U+202E) or right-to-left letters cannot reorder the rest of its line.
std::string HtmlText(std::string_view text);

// `now` gives the age of the last pass.
std::string RenderStatusJson(const StatusSnapshot& s, std::time_t now = std::time(nullptr));
// `query` ("" or "?key=...") is added to the page's own links so that they pass the key on.
std::string RenderStatusHtml(const StatusSnapshot& s, std::string_view query,
                             std::time_t now = std::time(nullptr));

// The compiled-in script and style sheet (the policy allows nothing inline).
extern const char kStatusPageScript[];
extern const char kStatusPageStyle[];

}  // namespace brisko
