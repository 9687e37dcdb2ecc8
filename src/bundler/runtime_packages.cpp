#include "bundler/runtime_packages.h"

#include <cstdint>
#include <fstream>
#include <vector>

#include "platform/file_manager.h"

namespace bundler {

namespace {

// The image starts with seven 32-bit words in the byte order of the machine that wrote it; the
// index that follows holds a location (a list of attributes) for every resource, naming its
// module and its parent folder, which is its package.
constexpr uint32_t kMagic = 0xCAFEDADA;
constexpr size_t kHeaderBytes = 7 * 4;
constexpr int kAttributeEnd = 0;
constexpr int kAttributeModule = 1;
constexpr int kAttributeParent = 2;
constexpr int kAttributeCount = 8;
// Index sizes beyond this are not an image a JDK wrote.
constexpr uint64_t kLargestIndex = 256u << 20;

uint32_t word(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; i--) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

std::optional<std::string> readPrefix(const std::string& path, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(length, '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(length))) return std::nullopt;
  return bytes;
}

class ImageIndex {
 public:
  explicit ImageIndex(std::string bytes, uint32_t tableLength, uint32_t locationsSize)
      : bytes_(std::move(bytes)),
        tableLength_(tableLength),
        offsets_(kHeaderBytes + 4ull * tableLength),
        locations_(offsets_ + 4ull * tableLength),
        strings_(locations_ + locationsSize) {}

  std::optional<std::set<std::string>> packages() const {
    std::set<std::string> found;
    for (uint32_t i = 0; i < tableLength_; i++) {
      uint64_t attributes[kAttributeCount] = {};
      if (!decode(locations_ + word(bytes_, offsets_ + 4ull * i), attributes)) return std::nullopt;
      const std::string module = text(attributes[kAttributeModule]);
      std::string parent = text(attributes[kAttributeParent]);
      // The image's own folders of modules and packages are not modules.
      if (module.empty() || parent.empty() || module == "modules" || module == "packages") continue;
      for (char& c : parent) c = c == '/' ? '.' : c;
      found.insert(module + "/" + parent);
    }
    return found;
  }

 private:
  // Each attribute: one byte (kind << 3 | length - 1), then its value in `length` bytes, high first.
  bool decode(uint64_t at, uint64_t (&attributes)[kAttributeCount]) const {
    while (at < strings_) {
      const uint8_t head = static_cast<uint8_t>(bytes_[at++]);
      const int kind = head >> 3;
      if (kind == kAttributeEnd) return true;
      const int length = (head & 7) + 1;
      if (kind >= kAttributeCount || at + length > strings_) return false;
      uint64_t value = 0;
      for (int i = 0; i < length; i++) value = value << 8 | static_cast<uint8_t>(bytes_[at++]);
      attributes[kind] = value;
    }
    return false;
  }

  std::string text(uint64_t offset) const {
    const uint64_t at = strings_ + offset;
    if (at >= bytes_.size()) return "";
    const size_t end = bytes_.find('\0', at);
    return bytes_.substr(at, end == std::string::npos ? std::string::npos : end - at);
  }

  std::string bytes_;
  uint32_t tableLength_;
  uint64_t offsets_, locations_, strings_;
};

}  // namespace

std::optional<std::set<std::string>> runtimePackages(const std::string& home) {
  const std::string image = platform::joinPath(home, "lib/modules");
  auto header = readPrefix(image, kHeaderBytes);
  if (!header || word(*header, 0) != kMagic) return std::nullopt;  // only images of this byte order
  const uint32_t tableLength = word(*header, 16);
  const uint32_t locationsSize = word(*header, 20);
  const uint32_t stringsSize = word(*header, 24);
  const uint64_t indexSize = kHeaderBytes + 8ull * tableLength + locationsSize + stringsSize;
  if (indexSize > kLargestIndex) return std::nullopt;
  auto index = readPrefix(image, indexSize);
  if (!index) return std::nullopt;
  return ImageIndex(std::move(*index), tableLength, locationsSize).packages();
}

}  // namespace bundler
