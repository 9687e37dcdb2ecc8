#include "launcher/text.h"

#include <algorithm>

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

MarkedText::MarkedText(std::string_view text) : text_(text) {}

MarkedText::MarkedText(std::string text, std::vector<bool> kept)
    : text_(std::move(text)), kept_(std::move(kept)) {}

void MarkedText::replaceAll(std::string_view from, std::string_view to, Inserted inserted) {
  replace(from, to, inserted, false);
}

void MarkedText::replaceOutsideKept(std::string_view from, std::string_view to, Inserted inserted) {
  replace(from, to, inserted, true);
}

MarkedText MarkedText::substr(size_t start, size_t count) const {
  start = std::min(start, text_.size());
  count = std::min(count, text_.size() - start);
  if (kept_.empty()) return MarkedText(text_.substr(start, count), {});
  return MarkedText(text_.substr(start, count),
                    std::vector<bool>(kept_.begin() + static_cast<std::ptrdiff_t>(start),
                                      kept_.begin() + static_cast<std::ptrdiff_t>(start + count)));
}

void MarkedText::replace(std::string_view from, std::string_view to, Inserted inserted,
                         bool skipKept) {
  if (from.empty()) return;
  // Most configuration strings hold no variable at all: leave them without copying a byte.
  size_t first = text_.find(from);
  if (first == std::string::npos) return;
  // Marks are made only once some text is kept: most texts never hold any.
  if (kept_.empty()) {
    if (inserted == Inserted::Free) {
      text_ = qmk::replaceAll(text_, from, to);
      return;
    }
    kept_.assign(text_.size(), false);
  }
  const auto keptWithin = [&](size_t at) {
    return std::find(kept_.begin() + static_cast<std::ptrdiff_t>(at),
                     kept_.begin() + static_cast<std::ptrdiff_t>(at + from.size()),
                     true) != kept_.begin() + static_cast<std::ptrdiff_t>(at + from.size());
  };
  std::string text;
  std::vector<bool> kept;
  text.reserve(text_.size());
  kept.reserve(kept_.size());
  size_t start = 0;
  for (size_t hit = first; hit != std::string::npos; hit = text_.find(from, hit + 1)) {
    if (hit < start || (skipKept && keptWithin(hit))) continue;
    text.append(text_, start, hit - start);
    kept.insert(kept.end(), kept_.begin() + static_cast<std::ptrdiff_t>(start),
                kept_.begin() + static_cast<std::ptrdiff_t>(hit));
    text.append(to);
    kept.insert(kept.end(), to.size(), inserted == Inserted::Kept);
    start = hit + from.size();
  }
  text.append(text_, start);
  kept.insert(kept.end(), kept_.begin() + static_cast<std::ptrdiff_t>(start), kept_.end());
  text_ = std::move(text);
  kept_ = std::move(kept);
}

std::string replaceAppPackage(std::string_view text, std::string_view bundlePath) {
  return replaceAll(text, "$APP_PACKAGE", bundlePath);
}

}  // namespace qmk
