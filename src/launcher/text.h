// Plain text replacement, the one way configuration strings are rewritten.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qmk {

// Every occurrence of `from` in `text` replaced by `to`, left to right, without overlaps; the
// inserted text is not scanned again.
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);

// "$APP_PACKAGE" replaced by the bundle path wherever it stands.
std::string replaceAppPackage(std::string_view text, std::string_view bundlePath);

// A text being rewritten that remembers which of its bytes a replacement inserted as kept, so
// that a later rewrite can leave them alone: "~" is the home directory wherever it stands in a
// configured path, except inside the bundle path that a variable put there.
class MarkedText {
 public:
  enum class Inserted { Free, Kept };

  explicit MarkedText(std::string_view text);

  // Every `from` replaced by `to`, left to right, without overlaps, wherever it stands.
  void replaceAll(std::string_view from, std::string_view to, Inserted inserted = Inserted::Free);
  // The same, but only where `from` lies wholly outside kept text.
  void replaceOutsideKept(std::string_view from, std::string_view to,
                          Inserted inserted = Inserted::Free);
  // `count` bytes from `start`, with their marks.
  MarkedText substr(size_t start, size_t count = std::string::npos) const;

  const std::string& text() const { return text_; }

 private:
  MarkedText(std::string text, std::vector<bool> kept);
  void replace(std::string_view from, std::string_view to, Inserted inserted, bool skipKept);

  std::string text_;
  std::vector<bool> kept_;  // one per byte of text_, or none while no byte is kept
};

}  // namespace qmk
