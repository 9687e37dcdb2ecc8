// Text helpers the bundle maker's readers share: manifest names and file extensions match
// without regard to case, manifest values without the blanks around them.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace bundler {

inline std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

inline std::string trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

}  // namespace bundler
