// The binary form of property lists ("bplist00"): a header, the objects, a table of their
// offsets and a 32-byte trailer. Every offset, length and reference is checked against the bytes
// before it is followed; a container that holds itself, nesting past the limit and references
// that would multiply into an enormous tree are refused.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/plist_readers.h"

namespace plist::detail {

namespace {

constexpr size_t kHeader = 8;  // "bplist00"
constexpr size_t kTrailer = 32;

// One object read: shared objects are read once, and a container remembers how deep it goes and
// how many values it stands for, so that every further reference is checked without a new walk.
struct Parsed {
  Value value;
  int height = 0;         // containers on the longest path down, this one included
  uint64_t expanded = 1;  // values in the tree as a reader of the value sees it
};

class BinaryError {
 public:
  explicit BinaryError(std::string reason) : reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

std::string hex(uint64_t v) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(v));
  return buffer;
}

// UTF-16BE to UTF-8. A surrogate that is not part of a pair is left out.
std::string utf8FromUtf16(std::string_view units) {
  std::string out;
  out.reserve(units.size() / 2 * 3);
  bool haveLead = false;
  uint32_t pending = 0;
  auto put = [&](uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (size_t i = 0; i + 1 < units.size(); i += 2) {
    const uint32_t unit = static_cast<uint8_t>(units[i]) << 8 | static_cast<uint8_t>(units[i + 1]);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      pending = 0x10000 + ((unit & 0x3FF) << 10);
      haveLead = !haveLead;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      if (haveLead) put(pending | (unit & 0x3FF));
      haveLead = false;
    } else {
      put(unit);
    }
  }
  return out;
}

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes) : bytes_(bytes) {}

  Reading read() {
    try {
      readTrailer();
      Parsed root = object(rootIndex_, 0);
      return {std::move(root.value), {}};
    } catch (const BinaryError& e) {
      return {std::nullopt, e.reason()};
    }
  }

 private:
  [[noreturn]] static void fail(uint64_t offset, const std::string& what) {
    throw BinaryError("offset " + hex(offset) + ": " + what);
  }

  uint8_t byte(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }

  // A big-endian number of `width` (1 to 8) bytes at `at`, which the caller has checked.
  uint64_t number(size_t at, size_t width) const {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = v << 8 | byte(at + i);
    return v;
  }

  void readTrailer() {
    if (bytes_.size() < kHeader + kTrailer) fail(0, "too short for a binary property list");
    if (bytes_.substr(0, kHeader) != "bplist00") fail(0, "not a version 00 binary property list");
    const size_t trailer = bytes_.size() - kTrailer;
    offsetSize_ = byte(trailer + 6);
    refSize_ = byte(trailer + 7);
    count_ = number(trailer + 8, 8);
    rootIndex_ = number(trailer + 16, 8);
    table_ = number(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8) fail(trailer + 6, "offset size out of range");
    if (refSize_ < 1) fail(trailer + 7, "reference size out of range");
    if (count_ == 0) fail(trailer + 8, "no objects");
    if (rootIndex_ >= count_) fail(trailer + 16, "root object out of range");
    if (table_ < kHeader || table_ >= trailer) fail(trailer + 24, "offset table out of range");
    if (count_ > (trailer - table_) / offsetSize_) fail(table_, "offset table runs past its end");
    // Every listed object must start before the trailer, referenced or not.
    for (uint64_t i = 0; i < count_; ++i) {
      const uint64_t at = table_ + i * offsetSize_;
      if (number(at, offsetSize_) >= trailer) fail(at, "object offset out of range");
    }
    checkAllDictionaryKeys(trailer);
    // A reference may stand for many values; a list whose references multiply past this many
    // (far beyond what its bytes could list one by one) is refused.
    budget_ = std::max<uint64_t>(uint64_t{1} << 20, 16 * count_);
  }

  // Every dictionary the offset table lists, referenced or not, must have keys that can be read
  // and hold no U+0000: lists have always been refused for such a key, and they stay refused.
  void checkAllDictionaryKeys(size_t end) const {
    std::vector<bool> seen(end, false);
    for (uint64_t i = 0; i < count_; ++i) {
      const size_t at = number(table_ + i * offsetSize_, offsetSize_);
      if ((byte(at) & 0xF0) != 0xD0 || seen[at]) continue;
      seen[at] = true;
      size_t refs = at;
      const uint64_t entries = lenientCountOf(refs, end);
      if (refSize_ > 8 || refs > end || entries > (end - refs) / refSize_) {
        fail(at, "dictionary runs past the objects");
      }
      for (uint64_t k = 0; k < entries; ++k) {
        const uint64_t key = number(refs + k * refSize_, refSize_);
        if (key >= count_) fail(refs + k * refSize_, "object reference out of range");
        const size_t keyAt = number(table_ + key * offsetSize_, offsetSize_);
        if ((byte(keyAt) & 0xF0) != 0x60) continue;
        size_t text = keyAt;
        const uint64_t units = lenientCountOf(text, end);
        if (text > end || units > (end - text) / 2)
          fail(keyAt, "dictionary key runs past the objects");
        for (uint64_t u = 0; u < units; ++u) {
          if (byte(text + 2 * u) == 0 && byte(text + 2 * u + 1) == 0) {
            fail(keyAt, "dictionary key holds U+0000");
          }
        }
      }
    }
  }

  // countOf bounded by `end` only (the check above runs before any object is read).
  uint64_t lenientCountOf(size_t& at, size_t end) const {
    const uint64_t low = byte(at) & 0x0F;
    ++at;
    if (low != 0x0F) return low;
    if (at >= end || (byte(at) & 0xF0) != 0x10) fail(at, "count is not an integer");
    const size_t width = size_t{1} << (byte(at) & 0x0F);
    if (width > 8 || width > end - at - 1) fail(at, "count runs past the objects");
    const uint64_t count = number(at + 1, width);
    at += 1 + width;
    return count;
  }

  // Where object `index` starts; its bytes lie between the header and the offset table.
  size_t offsetOf(uint64_t index, size_t referencedAt) const {
    if (index >= count_)
      fail(referencedAt, "object reference " + std::to_string(index) + " out of range");
    const uint64_t at = number(table_ + index * offsetSize_, offsetSize_);
    if (at >= table_) fail(table_ + index * offsetSize_, "object offset out of range");
    return at;
  }

  // That `length` bytes from `at` lie inside the object area.
  void need(size_t at, uint64_t length, size_t objectAt) const {
    if (at > table_ || length > table_ - at) fail(objectAt, "object runs past the object area");
  }

  // The element count in an object's marker byte, or in the integer after it; `at` is moved to
  // the contents.
  uint64_t countOf(size_t& at, size_t objectAt) const {
    const uint64_t low = byte(at) & 0x0F;
    ++at;
    if (low != 0x0F) return low;
    need(at, 1, objectAt);
    if ((byte(at) & 0xF0) != 0x10) fail(objectAt, "count is not an integer");
    const unsigned power = byte(at) & 0x0F;
    if (power > 4) fail(objectAt, "count of unknown width");
    const size_t width = size_t{1} << power;
    need(at + 1, width, objectAt);
    // A 16-byte count keeps its low 8 bytes.
    const uint64_t count = width == 16 ? number(at + 9, 8) : number(at + 1, width);
    at += 1 + width;
    return count;
  }

  Parsed object(uint64_t index, int depth, size_t referencedAt = 0) {
    const size_t at = offsetOf(index, referencedAt);
    if (std::find(path_.begin(), path_.end(), index) != path_.end()) {
      fail(at, "container holds itself");
    }
    if (auto it = containers_.find(index); it != containers_.end()) {
      if (depth + it->second.height > kMaxNesting) throw BinaryError(std::string(kTooDeep));
      return it->second;
    }
    const uint8_t marker = byte(at);
    switch (marker >> 4) {
      case 0xA:
      case 0xC:  // a set reads as the array of its members
        return container(index, at, depth, false);
      case 0xD:
        return container(index, at, depth, true);
      default:
        return {scalar(at), 0, 1};
    }
  }

  Value scalar(size_t at) {
    const uint8_t marker = byte(at);
    const unsigned low = marker & 0x0F;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) return Value::boolean(marker == 0x09);
        fail(at, marker == 0x00 ? "null object" : "unknown object type");
      case 0x1: {
        if (low > 4) fail(at, "integer of unknown width");
        const size_t width = size_t{1} << low;
        need(at + 1, width, at);
        // Widths below 8 are unsigned; 8 bytes hold the two's-complement pattern; of 16 bytes
        // the low 8 are kept.
        return Value::integer(
            static_cast<int64_t>(width == 16 ? number(at + 9, 8) : number(at + 1, width)));
      }
      case 0x2: {
        if (low != 2 && low != 3) fail(at, "real of unknown width");
        const size_t width = size_t{1} << low;
        need(at + 1, width, at);
        return Value::real(realAt(at + 1, width));
      }
      case 0x3:
        if (marker != 0x33) fail(at, "date of unknown width");
        need(at + 1, 8, at);
        return Value::date(realAt(at + 1, 8));
      case 0x4: {
        size_t contents = at;
        const uint64_t length = countOf(contents, at);
        need(contents, length, at);
        const auto* begin = reinterpret_cast<const uint8_t*>(bytes_.data() + contents);
        return Value::data(std::vector<uint8_t>(begin, begin + length));
      }
      case 0x5: {
        size_t contents = at;
        const uint64_t length = countOf(contents, at);
        need(contents, length, at);
        // An ASCII text ends at a NUL, as lists have always been read here.
        std::string_view text = bytes_.substr(contents, length);
        return Value::string(std::string(text.substr(0, text.find('\0'))));
      }
      case 0x6: {
        size_t contents = at;
        const uint64_t units = countOf(contents, at);
        if (units > table_) fail(at, "object runs past the object area");
        need(contents, units * 2, at);
        return Value::string(utf8FromUtf16(bytes_.substr(contents, units * 2)));
      }
      case 0x8: {
        // An identifier (keyed archives) reads as its number, which is 32 bits at most.
        const size_t width = low + 1;
        if (width > 8) fail(at, "identifier of unknown width");
        need(at + 1, width, at);
        const uint64_t id = number(at + 1, width);
        if (id > UINT32_MAX) fail(at, "identifier out of range");
        return Value::integer(static_cast<int64_t>(id));
      }
      default:
        fail(at, "unknown object type");
    }
  }

  double realAt(size_t at, size_t width) const {
    const uint64_t bits = number(at, width);
    if (width == 4) {
      float f = 0;
      const auto narrow = static_cast<uint32_t>(bits);
      std::memcpy(&f, &narrow, sizeof f);
      return f;
    }
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  uint64_t reference(size_t& at) {
    const uint64_t ref = number(at, refSize_);
    at += refSize_;
    return ref;
  }

  Parsed container(uint64_t index, size_t at, int depth, bool dictionary) {
    if (depth >= kMaxNesting) throw BinaryError(std::string(kTooDeep));
    // Only containers read references: a list of scalars may give any reference size.
    if (refSize_ > 8) fail(bytes_.size() - kTrailer + 7, "reference size out of range");
    size_t refs = at;
    const uint64_t count = countOf(refs, at);
    const uint64_t slots = dictionary ? 2 : 1;
    if (count > table_ / refSize_ / slots) fail(at, "object runs past the object area");
    need(refs, count * slots * refSize_, at);

    path_.push_back(index);
    Parsed result{Value(), 1, 1};
    auto account = [&](const Parsed& child) {
      result.height = std::max(result.height, child.height + 1);
      result.expanded += child.expanded;
      if (result.expanded > budget_) {
        fail(at, "references expand to more than " + std::to_string(budget_) + " values");
      }
    };
    if (dictionary) {
      Dictionary entries;
      size_t keyRef = refs;
      size_t valueRef = refs + count * refSize_;
      for (uint64_t i = 0; i < count; ++i) {
        const size_t keyRefAt = keyRef;
        const size_t valueRefAt = valueRef;
        std::string key = keyOf(reference(keyRef), keyRefAt);
        Parsed value = object(reference(valueRef), depth + 1, valueRefAt);
        account(value);
        ++result.expanded;  // the key
        // A key given twice keeps its first value.
        entries.emplace(std::move(key), std::move(value.value));
      }
      result.value = Value::dictionary(std::move(entries));
    } else {
      Array items;
      items.reserve(count);
      size_t ref = refs;
      for (uint64_t i = 0; i < count; ++i) {
        const size_t refAt = ref;
        Parsed item = object(reference(ref), depth + 1, refAt);
        account(item);
        items.push_back(std::move(item.value));
      }
      result.value = Value::array(std::move(items));
    }
    path_.pop_back();
    containers_.emplace(index, result);
    return result;
  }

  // A dictionary key: a string without U+0000 (a NUL would cut the key short in every C
  // string that carries it on).
  std::string keyOf(uint64_t index, size_t referencedAt) {
    const size_t at = offsetOf(index, referencedAt);
    const unsigned type = byte(at) >> 4;
    if (type != 0x5 && type != 0x6) fail(at, "dictionary key is not a string");
    std::string key = *scalar(at).asString();
    if (key.find('\0') != std::string::npos) fail(at, "dictionary key holds U+0000");
    return key;
  }

  std::string_view bytes_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t count_ = 0;
  uint64_t rootIndex_ = 0;
  uint64_t table_ = 0;
  uint64_t budget_ = 0;
  std::vector<uint64_t> path_;  // the containers being read, outermost first
  std::unordered_map<uint64_t, Parsed> containers_;
};

}  // namespace

Reading readBinary(std::string_view bytes) { return BinaryReader(bytes).read(); }

}  // namespace plist::detail
