// The XML form of property lists: expat reads the XML (well-formedness, encodings, character and
// entity references, CDATA, comments), and the property-list vocabulary is built on its events
// here. Containers are kept on an explicit stack, so that no document can deepen the C stack.
#include <expat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/base64.h"
#include "platform/civil_date.h"
#include "platform/number_text.h"
#include "platform/plist_readers.h"

namespace plist::detail {

namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

// An integer as written in a list: an optional sign, then decimal, "0x" hexadecimal or "0"
// octal digits. The 64-bit pattern is kept, so that the unsigned values above the signed range
// read as they always have (as their two's-complement pattern).
std::optional<int64_t> integerOf(std::string_view text) {
  text = trimmed(text);
  if (text.empty()) return 0;  // <integer/> reads as 0
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  const std::string digits(text);
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(digits.c_str(), &end, 0);
  if (errno == ERANGE || end != digits.c_str() + digits.size()) return std::nullopt;
  uint64_t pattern = negative ? uint64_t{0} - v : uint64_t{v};
  return static_cast<int64_t>(pattern);
}

std::optional<double> realOf(std::string_view text) {
  text = trimmed(text);
  if (text.empty()) return 0.0;  // <real/> reads as 0
  if (text.front() == '+') text.remove_prefix(1);
  // What strtod takes beyond that: white space before the number, a second "+", hexadecimal.
  if (text.empty() || text.front() == '+' || std::isspace(static_cast<unsigned char>(text[0])) ||
      text.find_first_of("xX") != std::string_view::npos) {
    return std::nullopt;
  }
  // Out of range reads as the nearest value, as every C library's reading of a number does.
  return platform::numberFromText(text);
}

// "YYYY-MM-DDTHH:MM:SSZ", UTC, in seconds since the reference date.
std::optional<double> dateOf(std::string_view text) {
  text = trimmed(text);
  if (text.empty()) return 0.0;  // <date/> reads as the reference date
  constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != shape.size()) return std::nullopt;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
  }
  auto field = [&](size_t at, size_t width) {
    int64_t v = 0;
    for (size_t i = at; i < at + width; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  const int64_t month = field(5, 2);
  if (month < 1 || month > 12) return std::nullopt;
  const int64_t days = platform::daysFromCivil(field(0, 4), month, field(8, 2));
  const int64_t seconds = days * 86400 + field(11, 2) * 3600 + field(14, 2) * 60 + field(17, 2);
  return static_cast<double>(seconds) - kReferenceDateOffset;
}

// Base64 with white space anywhere (lists wrap it in lines) and the padding optional.
std::optional<std::vector<uint8_t>> dataOf(std::string_view text) {
  std::vector<uint8_t> bytes;
  uint32_t group = 0;
  int digits = 0;
  bool padded = false;
  for (char c : text) {
    if (isXmlSpace(c)) continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    const int digit = platform::base64DigitValue(c);
    if (digit < 0 || padded) return std::nullopt;
    group = group << 6 | static_cast<uint32_t>(digit);
    if (++digits == 4) {
      bytes.push_back(static_cast<uint8_t>(group >> 16));
      bytes.push_back(static_cast<uint8_t>(group >> 8));
      bytes.push_back(static_cast<uint8_t>(group));
      group = 0;
      digits = 0;
    }
  }
  if (digits == 1) return std::nullopt;
  if (digits >= 2) bytes.push_back(static_cast<uint8_t>(group >> (6 * digits - 8)));
  if (digits == 3) bytes.push_back(static_cast<uint8_t>(group >> 2));
  return bytes;
}

enum class Scalar { None, String, Key, Integer, Real, True, False, Date, Data };

Scalar scalarNamed(std::string_view name) {
  if (name == "string") return Scalar::String;
  if (name == "key") return Scalar::Key;
  if (name == "integer") return Scalar::Integer;
  if (name == "real") return Scalar::Real;
  if (name == "true") return Scalar::True;
  if (name == "false") return Scalar::False;
  if (name == "date") return Scalar::Date;
  if (name == "data") return Scalar::Data;
  return Scalar::None;
}

using ParserOwner = std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)>;

// Builds the value tree from expat's events. A vocabulary error stops the parser and keeps its
// reason; expat's own errors are read from the parser afterwards.
class XmlReader {
 public:
  XmlReader() : parser_(XML_ParserCreate(nullptr), &XML_ParserFree) {}

  Reading read(std::string_view bytes) {
    XML_Parser p = parser_.get();
    if (p == nullptr) return {std::nullopt, "out of memory"};
    XML_SetUserData(p, this);
    XML_SetElementHandler(p, &XmlReader::onStart, &XmlReader::onEnd);
    XML_SetCharacterDataHandler(p, &XmlReader::onText);
    // No external entity is ever loaded: a reference to one ends the reading, and the external
    // DTD subset that lists name is never read. Internal entities expand under expat's own
    // amplification limits.
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetExternalEntityRefHandler(p, &XmlReader::onExternalEntity);
    XML_SetSkippedEntityHandler(p, &XmlReader::onSkippedEntity);

    // expat takes lengths as int: longer documents go in pieces.
    constexpr size_t kPiece = 1 << 20;
    bool ok = true;
    do {
      const size_t length = std::min(kPiece, bytes.size());
      const bool last = length == bytes.size();
      ok = XML_Parse(p, bytes.data(), static_cast<int>(length), last) == XML_STATUS_OK;
      bytes.remove_prefix(length);
    } while (ok && !bytes.empty());

    if (!error_.empty()) return {std::nullopt, error_};
    if (!ok) return {std::nullopt, expatError()};
    if (!root_) return {std::nullopt, "the document holds no value"};
    return {std::move(root_), {}};
  }

 private:
  struct Frame {
    bool dictionary = false;
    Array items;
    Dictionary entries;
    std::optional<std::string> key;
  };

  std::string where() const {
    return "line " + std::to_string(XML_GetCurrentLineNumber(parser_.get())) + ": ";
  }

  std::string expatError() const {
    XML_Parser p = parser_.get();
    return "line " + std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(p) + 1) + ": " +
           XML_ErrorString(XML_GetErrorCode(p));
  }

  void fail(std::string reason) {
    if (error_.empty()) error_ = where() + std::move(reason);
    XML_StopParser(parser_.get(), XML_FALSE);
  }

  static XmlReader& self(void* data) { return *static_cast<XmlReader*>(data); }

  static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char**) {
    self(data).start(name);
  }
  static void XMLCALL onEnd(void* data, const XML_Char* name) { self(data).end(name); }
  static void XMLCALL onText(void* data, const XML_Char* text, int length) {
    self(data).text(std::string_view(text, static_cast<size_t>(length)));
  }
  static int XMLCALL onExternalEntity(XML_Parser p, const XML_Char*, const XML_Char*,
                                      const XML_Char* systemId, const XML_Char*) {
    auto& reader = self(XML_GetUserData(p));
    reader.fail(std::string("external entity \"") + (systemId ? systemId : "") + "\" is not read");
    return XML_STATUS_ERROR;
  }
  static void XMLCALL onSkippedEntity(void* data, const XML_Char* name, int) {
    self(data).fail(std::string("undefined entity &") + name + ";");
  }

  void start(std::string_view name) {
    if (!error_.empty()) return;
    if (scalar_ != Scalar::None) return fail("<" + std::string(name) + "> inside a value");
    if (name == "plist") {
      if (plistOpen_ || root_ || !stack_.empty()) return fail("<plist> inside a document");
      plistOpen_ = true;
      return;
    }
    if (name == "dict" || name == "array") {
      if (!canTakeValue()) return;
      if (stack_.size() >= static_cast<size_t>(kMaxNesting)) return fail(std::string(kTooDeep));
      stack_.push_back(Frame{.dictionary = name == "dict"});
      return;
    }
    const Scalar scalar = scalarNamed(name);
    if (scalar == Scalar::None) return fail("unknown element <" + std::string(name) + ">");
    if (scalar == Scalar::Key) {
      if (stack_.empty() || !stack_.back().dictionary) return fail("<key> outside a dictionary");
      if (stack_.back().key) return fail("<key> where a value was expected");
    } else if (!canTakeValue()) {
      return;
    }
    scalar_ = scalar;
    text_.clear();
  }

  void end(std::string_view name) {
    if (!error_.empty()) return;
    if (name == "plist") {
      if (!root_) fail("<plist> holds no value");
      return;
    }
    if (scalar_ != Scalar::None) return endScalar(name);
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (frame.key) return fail("<key>" + *frame.key + "</key> has no value");
    deliver(frame.dictionary ? Value::dictionary(std::move(frame.entries))
                             : Value::array(std::move(frame.items)));
  }

  void endScalar(std::string_view name) {
    const Scalar scalar = scalar_;
    scalar_ = Scalar::None;
    auto refuse = [&](const char* what) { fail("<" + std::string(name) + "> holds no " + what); };
    switch (scalar) {
      case Scalar::Key:
        stack_.back().key = std::move(text_);
        return;
      case Scalar::String:
        return deliver(Value::string(std::move(text_)));
      case Scalar::Integer:
        if (auto v = integerOf(text_)) return deliver(Value::integer(*v));
        return refuse("number");
      case Scalar::Real:
        if (auto v = realOf(text_)) return deliver(Value::real(*v));
        return refuse("number");
      case Scalar::True:
      case Scalar::False:
        return deliver(Value::boolean(scalar == Scalar::True));
      case Scalar::Date:
        if (auto v = dateOf(text_)) return deliver(Value::date(*v));
        return refuse("date of the form 2001-01-31T12:00:00Z");
      case Scalar::Data:
        if (auto v = dataOf(text_)) return deliver(Value::data(std::move(*v)));
        return refuse("base64");
      case Scalar::None:
        return;
    }
  }

  void text(std::string_view text) {
    if (!error_.empty()) return;
    if (scalar_ != Scalar::None) {
      if (text_.size() + text.size() > text_.max_size()) return fail("text too long");
      text_ += text;
      return;
    }
    for (char c : text) {
      if (!isXmlSpace(c)) return fail("text outside a value");
    }
  }

  // Whether a value may start here: in an array, after a key in a dictionary, or as the root.
  bool canTakeValue() {
    if (stack_.empty()) {
      if (root_) fail("a second value after the document's value");
      return !root_;
    }
    if (stack_.back().dictionary && !stack_.back().key) {
      fail("a value without a <key> in a dictionary");
      return false;
    }
    return true;
  }

  void deliver(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return;
    }
    Frame& parent = stack_.back();
    if (parent.dictionary) {
      // A key given twice keeps its last value.
      parent.entries.insert_or_assign(std::move(*parent.key), std::move(value));
      parent.key.reset();
    } else {
      parent.items.push_back(std::move(value));
    }
  }

  ParserOwner parser_;
  std::vector<Frame> stack_;
  std::optional<Value> root_;
  bool plistOpen_ = false;
  Scalar scalar_ = Scalar::None;
  std::string text_;
  std::string error_;
};

}  // namespace

Reading readXml(std::string_view bytes) { return XmlReader().read(bytes); }

}  // namespace plist::detail
