// Class-path entry resolution: expands a ":"-separated list whose entries may name an
// environment variable ("$NAME") or a directory of archives ("dir/*") into the plain list the
// runtime receives.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/option_paths.h"
#include "platform/environment.h"
#include "platform/file_manager.h"

namespace {

bool isArchiveName(std::string_view name) {
  return name.ends_with(".zip") || name.ends_with(".jar");
}

// The items joined with ":", absent until the first item arrives.
class ItemList {
 public:
  // `item` is `directory` followed by `name`, given in two parts so that no whole item is built
  // for each of a large directory's archives.
  void add(std::string_view directory, std::string_view name = {}) {
    if (present_) text_.push_back(':');
    present_ = true;
    text_.append(directory);
    text_.append(name);
  }
  // Room for `bytes` more, so that a large folder's archives go in without the list being
  // copied over and over as it grows.
  void reserveMore(size_t bytes) { text_.reserve(text_.size() + bytes); }
  OptionalString take() { return present_ ? OptionalString(std::move(text_)) : std::nullopt; }

 private:
  std::string text_;
  bool present_ = false;
};

}  // namespace

OptionalString Launcher::resolveArtifactPath(const OptionalString& s) const {
  if (!s) return std::nullopt;
  ItemList items;
  platform::FileManager fileManager;
  // A directory named twice (the bundle's list and an options file's addition, say) is listed
  // once: a large one costs the kernel more than the rest of the start, and both entries see
  // the same archives.
  std::map<std::string, std::optional<std::vector<std::string>>, std::less<>> listings;
  std::string_view rest = *s;
  while (true) {
    size_t colon = rest.find(':');
    std::string_view entry = rest.substr(0, colon);
    if (entry.starts_with('$')) {
      // The value is one item as it stands, even when it holds ":" itself.
      const std::string name(entry.substr(1));
      if (auto value = platform::environmentValue(name)) {
        items.add(*value);
      } else {
        DLOG("%s [Line %d] class path entry %@ names no set variable: dropped", name);
      }
    } else if (entry.ends_with("/*")) {
      std::string directory(entry.substr(0, entry.size() - 1));  // keeps its trailing "/"
      DLOG("%s [Line %d] scanning directory %@", directory);
      // Names come in the listing's order; the items keep the directory as written.
      const std::string openable = qmk::config::openablePath(*this, directory);
      auto listing = listings.find(openable);
      if (listing == listings.end()) {
        listing = listings.emplace(openable, fileManager.contentsOfDirectory(openable)).first;
      }
      if (const auto& names = listing->second) {
        size_t bytes = 0;
        for (const auto& name : *names) bytes += 1 + directory.size() + name.size();
        items.reserveMore(bytes);
        for (const auto& name : *names) {
          if (isArchiveName(name)) items.add(directory, name);
        }
      }
    } else {
      items.add(entry);
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return items.take();
}
