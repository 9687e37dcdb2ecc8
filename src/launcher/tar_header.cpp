#include "launcher/tar_header.h"

#include <algorithm>
#include <charconv>

namespace tar {
namespace {

// Field offsets and widths of the ustar header.
constexpr size_t kNameOffset = 0, kNameWidth = 100;
constexpr size_t kModeOffset = 100, kModeWidth = 8;
constexpr size_t kSizeOffset = 124, kSizeWidth = 12;
constexpr size_t kTypeOffset = 156;
constexpr size_t kLinkOffset = 157, kLinkWidth = 100;
constexpr size_t kMagicOffset = 257, kMagicWidth = 5;
constexpr size_t kVersionOffset = 263;
constexpr size_t kPrefixOffset = 345, kPrefixWidth = 155;

std::string_view field(std::string_view block, size_t offset, size_t width) {
  return block.substr(offset, width);
}

std::optional<uint64_t> parseBase256(std::string_view field) {
  const auto first = static_cast<unsigned char>(field[0]);
  if (first & 0x40) return std::nullopt;  // negative: no size or mode is
  uint64_t value = first & 0x3f;
  for (size_t i = 1; i < field.size(); i++) {
    if (value > (UINT64_MAX >> 8)) return std::nullopt;
    value = (value << 8) | static_cast<unsigned char>(field[i]);
  }
  return value;
}

std::optional<uint64_t> parseOctal(std::string_view field) {
  uint64_t value = 0;
  bool significant = false;
  for (char c : field) {
    if (c == '\0') break;
    if (c == ' ') {
      if (significant) break;
      continue;
    }
    if (c < '0' || c > '7') return std::nullopt;
    if (c == '0' && !significant) continue;
    significant = true;
    if (value > (UINT64_MAX >> 3)) return std::nullopt;
    value = value * 8 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

bool hasMagic(std::string_view block) {
  return block.size() >= kMagicOffset + kMagicWidth &&
         field(block, kMagicOffset, kMagicWidth) == "ustar";
}

bool isZeroBlock(std::string_view block) {
  return std::all_of(block.begin(), block.end(), [](char c) { return c == '\0'; });
}

std::optional<uint64_t> parseNumber(std::string_view field) {
  if (field.empty()) return uint64_t{0};
  if (static_cast<unsigned char>(field[0]) & 0x80) return parseBase256(field);
  return parseOctal(field);
}

std::string textUpToNul(std::string_view data) {
  return std::string(data.substr(0, std::min(data.find('\0'), data.size())));
}

std::optional<Header> parseHeader(std::string_view block) {
  if (block.size() < kBlockSize) return std::nullopt;
  auto mode = parseNumber(field(block, kModeOffset, kModeWidth));
  auto size = parseNumber(field(block, kSizeOffset, kSizeWidth));
  if (!mode || !size) return std::nullopt;

  Header header;
  header.mode = static_cast<uint32_t>(*mode & 07777);
  header.size = *size;
  header.type = block[kTypeOffset];
  header.name = textUpToNul(field(block, kNameOffset, kNameWidth));
  header.linkName = textUpToNul(field(block, kLinkOffset, kLinkWidth));
  // Only POSIX headers ("ustar\0" "00") carry a name prefix; GNU headers keep other fields there.
  if (block[kMagicOffset + kMagicWidth] == '\0' && field(block, kVersionOffset, 2) == "00") {
    std::string prefix = textUpToNul(field(block, kPrefixOffset, kPrefixWidth));
    if (!prefix.empty()) header.name = prefix + "/" + header.name;
  }
  return header;
}

PaxRecords parsePaxRecords(std::string_view data) {
  PaxRecords records;
  while (!data.empty()) {
    size_t length = 0;
    auto [end, ec] = std::from_chars(data.data(), data.data() + data.size(), length);
    if (ec != std::errc() || end == data.data() || end == data.data() + data.size() ||
        *end != ' ') {
      break;
    }
    // The length counts the whole record, its own digits and the space included: one that
    // does not reach past them (or past the data) is malformed.
    size_t lengthField = static_cast<size_t>(end - data.data()) + 1;
    if (length <= lengthField || length > data.size()) break;
    std::string_view record = data.substr(lengthField, length - lengthField);
    data.remove_prefix(length);
    if (record.back() != '\n') break;
    record.remove_suffix(1);
    size_t equals = record.find('=');
    if (equals == std::string_view::npos) break;
    std::string_view key = record.substr(0, equals);
    std::string_view value = record.substr(equals + 1);
    if (key.substr(0, 11) == "GNU.sparse.") {
      records.sparse = true;
    } else if (key == "path") {
      records.path = std::string(value);
    } else if (key == "linkpath") {
      records.linkPath = std::string(value);
    } else if (key == "size") {
      uint64_t size = 0;
      auto [sizeEnd, sizeEc] = std::from_chars(value.data(), value.data() + value.size(), size);
      if (sizeEc == std::errc() && sizeEnd == value.data() + value.size()) records.size = size;
    }
  }
  return records;
}

uint64_t paddingFor(uint64_t size) {
  uint64_t rest = size % kBlockSize;
  return rest == 0 ? 0 : kBlockSize - rest;
}

}  // namespace tar
