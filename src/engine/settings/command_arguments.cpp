#include "engine/settings/command_arguments.h"

namespace brisko {

std::vector<std::string> SplitCommandArguments(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (inWord) {
        words.push_back(std::move(word));
        word.clear();
        inWord = false;
      }
      ++i;
    } else if (c == '\'') {
      inWord = true;
      ++i;
      while (i < n && text[i] != '\'') word += text[i++];
      if (i < n) ++i;  // closing quote
    } else if (c == '"') {
      inWord = true;
      ++i;
      while (i < n && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < n &&
            (text[i + 1] == '"' || text[i + 1] == '\\' || text[i + 1] == '$' || text[i + 1] == '`')) {
          ++i;
        }
        word += text[i++];
      }
      if (i < n) ++i;
    } else if (c == '\\') {
      inWord = true;
      if (i + 1 < n) word += text[i + 1];
      i += 2;
    } else {
      inWord = true;
      word += c;
      ++i;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace brisko
