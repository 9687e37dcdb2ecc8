#include "launcher/text.h"

namespace qmk {

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size());
  size_t start = 0;
  for (size_t hit = text.find(from); hit != std::string_view::npos; hit = text.find(from, start)) {
    result.append(text.substr(start, hit - start));
    result.append(to);
    start = hit + from.size();
  }
  result.append(text.substr(start));
  return result;
}

std::string replaceAppPackage(std::string_view text, std::string_view bundlePath) {
  return replaceAll(text, "$APP_PACKAGE", bundlePath);
}

}  // namespace qmk
