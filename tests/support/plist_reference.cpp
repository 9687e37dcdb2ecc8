// The property-list reading the launchers had before they read lists themselves: libplist, with
// the conversions and safety checks that were wrapped around it. Kept for the tests alone, as the
// reference the differential test compares the readers with.
#include "support/plist_reference.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>

namespace testing_support {

namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;

constexpr std::string_view kBinaryMagic = "bplist";

using Node = std::unique_ptr<void, decltype(&plist_free)>;

Node adopt(plist_t node) { return Node(node, &plist_free); }

// ---- Reading libplist trees ------------------------------------------------------------------

// Real documents nest a handful of levels; a limit far beyond them keeps a hostile one, a few
// hundred kilobytes of opening tags, from exhausting the stack of every walk over the tree.
constexpr int kMaxNesting = 512;

Value fromNode(plist_t node, int depth, bool& tooDeep);

Value fromDictionaryNode(plist_t node, int depth, bool& tooDeep) {
  Dictionary entries;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  std::unique_ptr<void, decltype(&std::free)> iterOwner(iter, &std::free);
  while (!tooDeep) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, iter, &key, &item);
    std::unique_ptr<char, decltype(&std::free)> keyOwner(key, &std::free);
    if (item == nullptr) break;
    entries.emplace(key ? key : "", fromNode(item, depth, tooDeep));
  }
  return Value::dictionary(std::move(entries));
}

Value fromArrayNode(plist_t node, int depth, bool& tooDeep) {
  Array items;
  uint32_t count = plist_array_get_size(node);
  items.reserve(count);
  for (uint32_t i = 0; i < count && !tooDeep; ++i) {
    items.push_back(fromNode(plist_array_get_item(node, i), depth, tooDeep));
  }
  return Value::array(std::move(items));
}

// `depth` counts the containers around `node`; past the limit the walk stops and sets tooDeep.
Value fromNode(plist_t node, int depth, bool& tooDeep) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return Value::boolean(v != 0);
    }
    case PLIST_UINT: {
      // Stored as the 64-bit pattern of the written (possibly negative) number.
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return Value::integer(static_cast<int64_t>(v));
    }
    case PLIST_UID: {
      uint64_t v = 0;
      plist_get_uid_val(node, &v);
      return Value::integer(static_cast<int64_t>(v));
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return Value::real(v);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value::string(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      const auto* begin = reinterpret_cast<const uint8_t*>(bytes);
      return Value::data(bytes ? std::vector<uint8_t>(begin, begin + length)
                               : std::vector<uint8_t>());
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value::date(sec + usec / 1e6);
    }
    case PLIST_ARRAY:
    case PLIST_DICT:
      if (depth >= kMaxNesting) {
        tooDeep = true;
        return Value();
      }
      return plist_get_node_type(node) == PLIST_ARRAY
                 ? fromArrayNode(node, depth + 1, tooDeep)
                 : fromDictionaryNode(node, depth + 1, tooDeep);
    default:
      return Value();
  }
}

// ---- Checking binary lists before libplist reads them ----------------------------------------

// libplist ends the process (an assertion inside the library) when it is asked for a dictionary
// key whose UTF-16 text holds U+0000. A binary list is walked here first, and refused when one of
// its dictionaries has such a key or when the walk cannot read it.
class BinaryKeyCheck {
 public:
  explicit BinaryKeyCheck(std::string_view bytes) : bytes_(bytes) {}

  bool keysAreSafe() {
    constexpr size_t kTrailer = 32;
    if (bytes_.size() < kBinaryMagic.size() + 2 + kTrailer) return false;
    const size_t trailer = bytes_.size() - kTrailer;
    offsetSize_ = byte(trailer + 6);
    refSize_ = byte(trailer + 7);
    end_ = trailer;
    if (!number(trailer + 8, 8, count_) || !number(trailer + 24, 8, table_)) return false;
    if (count_ == 0 || count_ > bytes_.size()) return false;
    for (uint64_t i = 0; i < count_; ++i) {
      size_t at = 0;
      if (!objectAt(i, at)) return false;
      if ((byte(at) & 0xF0) == 0xD0 && !dictionaryKeysAreSafe(at)) return false;
    }
    return true;
  }

 private:
  uint8_t byte(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }

  // A big-endian number of `width` bytes at `at`.
  bool number(size_t at, size_t width, uint64_t& value) const {
    if (width == 0 || width > 8 || at > bytes_.size() || width > bytes_.size() - at) return false;
    value = 0;
    for (size_t i = 0; i < width; ++i) value = value << 8 | byte(at + i);
    return true;
  }

  bool objectAt(uint64_t index, size_t& at) const {
    uint64_t offset = 0;
    if (index >= count_ || offsetSize_ == 0 || table_ > bytes_.size() ||
        !number(table_ + index * offsetSize_, offsetSize_, offset) || offset >= end_) {
      return false;
    }
    at = offset;
    return true;
  }

  // The element count of the object at `at` and where its contents begin.
  bool countOf(size_t at, uint64_t& count, size_t& contents) const {
    count = byte(at) & 0x0F;
    contents = at + 1;
    if (count != 0x0F) return true;
    if (contents >= end_ || (byte(contents) & 0xF0) != 0x10) return false;
    const size_t width = size_t{1} << (byte(contents) & 0x0F);
    if (!number(contents + 1, width, count)) return false;
    contents += 1 + width;
    return true;
  }

  bool dictionaryKeysAreSafe(size_t at) const {
    uint64_t entries = 0;
    size_t refs = 0;
    if (!countOf(at, entries, refs) || refSize_ == 0 || refs > end_ ||
        entries > (end_ - refs) / refSize_) {
      return false;
    }
    for (uint64_t i = 0; i < entries; ++i) {
      uint64_t key = 0;
      size_t keyAt = 0;
      if (!number(refs + i * refSize_, refSize_, key) || !objectAt(key, keyAt)) return false;
      if ((byte(keyAt) & 0xF0) == 0x60 && !utf16TextIsSafe(keyAt)) return false;
    }
    return true;
  }

  bool utf16TextIsSafe(size_t at) const {
    uint64_t units = 0;
    size_t text = 0;
    if (!countOf(at, units, text) || text > end_ || units > (end_ - text) / 2) return false;
    for (uint64_t i = 0; i < units; ++i) {
      if (byte(text + 2 * i) == 0 && byte(text + 2 * i + 1) == 0) return false;
    }
    return true;
  }

  std::string_view bytes_;
  size_t end_ = 0;  // objects and the offset table lie before the trailer
  uint64_t count_ = 0;
  uint64_t table_ = 0;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
};

}  // namespace

std::optional<plist::Value> libplistParse(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (bytes.starts_with(kBinaryMagic)) {
    if (!BinaryKeyCheck(bytes).keysAreSafe()) return std::nullopt;
    plist_from_bin(bytes.data(), length, &root);
  } else {
    plist_from_xml(bytes.data(), length, &root);
  }
  if (root == nullptr) return std::nullopt;
  Node owner = adopt(root);
  bool tooDeep = false;
  Value value = fromNode(root, 0, tooDeep);
  if (tooDeep) return std::nullopt;
  return value;
}

std::string libplistBinary(const std::string& xml) {
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  if (root == nullptr) return std::string();
  Node owner = adopt(root);
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string bytes(bin, length);
  plist_to_bin_free(bin);
  return bytes;
}

}  // namespace testing_support
