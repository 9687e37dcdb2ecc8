// Tar archives written block by block, for what GNU tar will not write: escape attempts, lying
// size fields, extension headers without their entry.
#pragma once

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

constexpr size_t kTarBlock = 512;

struct TarEntry {
  std::string name;
  char type = '0';
  std::string data;
  std::string linkName;
  std::string mode = "0000644";
  std::optional<std::string> sizeField;  // the raw size field, when not the data's length
  std::string magic = std::string(
      "ustar\0"
      "00",
      8);
};

// Writes `text` over `block` from `offset` on, cut at `width` bytes; the block keeps its size.
inline void putField(std::string& block, size_t offset, size_t width, const std::string& text) {
  block.replace(offset, std::min(width, text.size()), text.substr(0, width));
}

// A header block with a correct checksum.
inline std::string tarHeaderBlock(const TarEntry& e) {
  std::string block(kTarBlock, '\0');
  putField(block, 0, 100, e.name);
  putField(block, 100, 8, e.mode);
  putField(block, 108, 8, "0000000");
  putField(block, 116, 8, "0000000");
  char number[16];
  std::snprintf(number, sizeof number, "%011llo", static_cast<unsigned long long>(e.data.size()));
  putField(block, 124, 12, e.sizeField.value_or(number));
  putField(block, 136, 12, "14724302123");
  block[156] = e.type;
  putField(block, 157, 100, e.linkName);
  putField(block, 257, 8, e.magic);
  putField(block, 148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : block) sum += c;
  std::snprintf(number, sizeof number, "%06o", sum);
  putField(block, 148, 8, std::string(number) + '\0' + ' ');
  return block;
}

// Zero bytes from the end of `size` bytes of data to the next block boundary.
inline std::string tarPadding(size_t size) {
  return std::string((kTarBlock - size % kTarBlock) % kTarBlock, '\0');
}

// The entries, each header followed by its padded data, and the two end blocks unless
// `endMarker` is false.
inline std::string tarBytes(const std::vector<TarEntry>& entries, bool endMarker = true) {
  std::string out;
  for (const auto& e : entries) out += tarHeaderBlock(e) + e.data + tarPadding(e.data.size());
  if (endMarker) out += std::string(2 * kTarBlock, '\0');
  return out;
}

}  // namespace testing_support
