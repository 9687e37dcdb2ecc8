#include "platform/format.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/number_text.h"
#include "platform/utf8.h"

namespace platform {

namespace {

// Widths and precisions beyond this are clamped: a stray "%999999999d" in a message text must
// not allocate a gigabyte.
constexpr int kMaxFieldWidth = 65536;

enum class Length { None, Char, Short, Long, LongLong, LongDouble, Size };

struct Directive {
  std::string flags;
  int width = 0;
  std::optional<int> precision;
  Length length = Length::None;
  char conversion = 0;

  bool leftAlign() const { return flags.find('-') != std::string::npos; }
};

// The arguments, taken in order or by explicit position ("%2$@"); never past the last.
class Arguments {
 public:
  explicit Arguments(std::span<const FormatArg> args) : args_(args) {}

  const FormatArg* take(std::optional<size_t> position) {
    size_t index = position ? *position : next_++;
    return index < args_.size() ? &args_[index] : nullptr;
  }

 private:
  std::span<const FormatArg> args_;
  size_t next_ = 0;
};

template <typename T>
const T* get(const FormatArg& arg) {
  return std::get_if<T>(&arg.value());
}

std::string pointerText(const void* p) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buffer;
}

// What "%@" shows for an argument.
std::string description(const FormatArg& arg) {
  struct Describe {
    std::string operator()(FormatArg::Absent) const { return "(null)"; }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(uint64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return shortestNumberText(v); }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(const void* v) const { return v ? pointerText(v) : "(null)"; }
    std::string operator()(const std::vector<std::string>& v) const { return describe(v); }
    std::string operator()(const plist::Value* v) const { return v->description(); }
    std::string operator()(const Exception* v) const { return v->description(); }
  };
  return std::visit(Describe{}, arg.value());
}

std::string runPrintf(const std::string& directive, auto value) {
  int needed = std::snprintf(nullptr, 0, directive.c_str(), value);
  if (needed <= 0) return std::string();
  std::string out(static_cast<size_t>(needed) + 1, '\0');
  std::snprintf(out.data(), out.size(), directive.c_str(), value);
  out.resize(static_cast<size_t>(needed));
  return out;
}

std::string printfDirective(const Directive& directive, std::string_view lengthModifier,
                            char conversion) {
  std::string text = "%" + directive.flags;
  if (directive.width > 0) text += std::to_string(directive.width);
  if (directive.precision) text += "." + std::to_string(*directive.precision);
  text += lengthModifier;
  text += conversion;
  return text;
}

// Text fields count UTF-16 code units, the way the platform counts characters; a precision never
// cuts a character in two.
std::string padText(const Directive& directive, std::string text) {
  size_t units = 0;
  size_t end = 0;
  while (end < text.size()) {
    auto d = utf8::decode(text, end);
    size_t u = d.codePoint != utf8::kInvalid && d.codePoint >= 0x10000 ? 2 : 1;
    if (directive.precision && units + u > static_cast<size_t>(*directive.precision)) break;
    units += u;
    end += d.length;
  }
  text.resize(end);
  if (units < static_cast<size_t>(directive.width)) {
    std::string padding(static_cast<size_t>(directive.width) - units, ' ');
    text = directive.leftAlign() ? text + padding : padding + text;
  }
  return text;
}

std::string formatSigned(const Directive& directive, const FormatArg& arg) {
  const int64_t* s = get<int64_t>(arg);
  const uint64_t* u = get<uint64_t>(arg);
  if (!s && !u) return padText({directive.flags, directive.width, std::nullopt}, description(arg));
  if (directive.length == Length::Char) {
    return runPrintf(printfDirective(directive, "ll", 'd'),
                     static_cast<long long>(static_cast<signed char>(s ? *s : *u)));
  }
  if (directive.length == Length::Short) {
    return runPrintf(printfDirective(directive, "ll", 'd'),
                     static_cast<long long>(static_cast<short>(s ? *s : *u)));
  }
  // An unsigned value too large for the signed range keeps its value rather than wrapping.
  if (u && *u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return runPrintf(printfDirective(directive, "ll", 'u'), static_cast<unsigned long long>(*u));
  }
  return runPrintf(printfDirective(directive, "ll", 'd'),
                   static_cast<long long>(s ? *s : static_cast<int64_t>(*u)));
}

std::string formatUnsigned(const Directive& directive, const FormatArg& arg) {
  const int64_t* s = get<int64_t>(arg);
  const uint64_t* u = get<uint64_t>(arg);
  if (!s && !u) return padText({directive.flags, directive.width, std::nullopt}, description(arg));
  uint64_t v = u ? *u : static_cast<uint64_t>(*s);
  switch (directive.length) {
    case Length::Char:
      v = static_cast<unsigned char>(v);
      break;
    case Length::Short:
      v = static_cast<unsigned short>(v);
      break;
    case Length::None:
    case Length::LongDouble:
      // A negative int shows its 32-bit pattern, as it would in C.
      if (s && *s < 0 && *s >= std::numeric_limits<int32_t>::min()) v = static_cast<uint32_t>(*s);
      break;
    default:
      break;
  }
  return runPrintf(printfDirective(directive, "ll", directive.conversion),
                   static_cast<unsigned long long>(v));
}

std::string formatFloating(const Directive& directive, const FormatArg& arg) {
  double v;
  if (const double* d = get<double>(arg)) {
    v = *d;
  } else if (const int64_t* s = get<int64_t>(arg)) {
    v = static_cast<double>(*s);
  } else if (const uint64_t* u = get<uint64_t>(arg)) {
    v = static_cast<double>(*u);
  } else {
    return padText({directive.flags, directive.width, std::nullopt}, description(arg));
  }
  return runPrintf(printfDirective(directive, "", directive.conversion), v);
}

std::string formatCharacter(const Directive& directive, const FormatArg& arg) {
  const int64_t* s = get<int64_t>(arg);
  const uint64_t* u = get<uint64_t>(arg);
  if (!s && !u) return padText({directive.flags, directive.width, std::nullopt}, description(arg));
  uint64_t cp = s ? static_cast<uint64_t>(*s) : *u;
  if (directive.length == Length::None && directive.conversion == 'c') cp &= 0xFF;
  std::string text;
  // A NUL character would end the text early wherever it is used as a C string.
  if (cp != 0) {
    bool valid = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    utf8::append(text, valid ? static_cast<char32_t>(cp) : U'\uFFFD');
  }
  return padText({directive.flags, directive.width, std::nullopt}, text);
}

std::string formatPointer(const Directive& directive, const FormatArg& arg) {
  std::string text;
  if (const void* const* p = get<const void*>(arg)) {
    text = pointerText(*p);
  } else if (const uint64_t* u = get<uint64_t>(arg)) {
    text = pointerText(reinterpret_cast<const void*>(static_cast<uintptr_t>(*u)));
  } else if (const int64_t* s = get<int64_t>(arg)) {
    text = pointerText(reinterpret_cast<const void*>(static_cast<uintptr_t>(*s)));
  } else if (get<FormatArg::Absent>(arg)) {
    text = pointerText(nullptr);
  } else {
    text = description(arg);
  }
  return padText({directive.flags, directive.width, std::nullopt}, text);
}

std::string formatConversion(const Directive& directive, const FormatArg& arg) {
  switch (directive.conversion) {
    case 'd':
    case 'i':
      return formatSigned(directive, arg);
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      return formatUnsigned(directive, arg);
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      return formatFloating(directive, arg);
    case 'c':
    case 'C':
      return formatCharacter(directive, arg);
    case 'p':
      return formatPointer(directive, arg);
    case 'n':
      return std::string();  // never writes through an argument
    default:                 // 's', 'S', '@'
      return padText(directive, description(arg));
  }
}

bool isConversion(char c) {
  return std::string_view("diuoxXfFeEgGaAcCsSp@nDUO").find(c) != std::string_view::npos;
}

// Reads "123" at `pos`; absent when there are no digits.
std::optional<size_t> readNumber(std::string_view fmt, size_t& pos) {
  size_t start = pos;
  size_t value = 0;
  while (pos < fmt.size() && fmt[pos] >= '0' && fmt[pos] <= '9') {
    value = std::min<size_t>(value * 10 + static_cast<size_t>(fmt[pos] - '0'), 1u << 30);
    ++pos;
  }
  if (pos == start) return std::nullopt;
  return value;
}

// Reads "n$" at `pos`; absent (and `pos` unchanged) when there is none.
std::optional<size_t> readPosition(std::string_view fmt, size_t& pos) {
  size_t p = pos;
  auto n = readNumber(fmt, p);
  if (!n || *n == 0 || p >= fmt.size() || fmt[p] != '$') return std::nullopt;
  pos = p + 1;
  return *n - 1;
}

// A width or precision given as "*" or "*n$": the argument's integer value.
std::optional<int> readStarArgument(std::string_view fmt, size_t& pos, Arguments& args) {
  auto position = readPosition(fmt, pos);
  const FormatArg* arg = args.take(position);
  if (!arg) return std::nullopt;
  if (const int64_t* s = get<int64_t>(*arg)) {
    return static_cast<int>(std::clamp<int64_t>(*s, -kMaxFieldWidth, kMaxFieldWidth));
  }
  if (const uint64_t* u = get<uint64_t>(*arg)) {
    return static_cast<int>(std::min<uint64_t>(*u, kMaxFieldWidth));
  }
  return std::nullopt;
}

Length readLength(std::string_view fmt, size_t& pos) {
  auto at = [&](size_t i) { return i < fmt.size() ? fmt[i] : '\0'; };
  switch (at(pos)) {
    case 'h':
      if (at(pos + 1) == 'h') {
        pos += 2;
        return Length::Char;
      }
      ++pos;
      return Length::Short;
    case 'l':
      if (at(pos + 1) == 'l') {
        pos += 2;
        return Length::LongLong;
      }
      ++pos;
      return Length::Long;
    case 'q':
      ++pos;
      return Length::LongLong;
    case 'j':
      ++pos;
      return Length::LongLong;
    case 'L':
      ++pos;
      return Length::LongDouble;
    case 'z':
    case 't':
      ++pos;
      return Length::Size;
    default:
      return Length::None;
  }
}

// Parses the conversion that begins after the "%" at `pos`; on success `pos` is after it.
std::optional<Directive> readDirective(std::string_view fmt, size_t& pos, Arguments& args,
                                  std::optional<size_t>& position) {
  Directive directive;
  position = readPosition(fmt, pos);
  while (pos < fmt.size() && std::string_view("-+ #0'").find(fmt[pos]) != std::string_view::npos) {
    if (directive.flags.find(fmt[pos]) == std::string::npos) directive.flags += fmt[pos];
    ++pos;
  }
  if (pos < fmt.size() && fmt[pos] == '*') {
    ++pos;
    if (auto w = readStarArgument(fmt, pos, args)) {
      if (*w < 0 && !directive.leftAlign()) directive.flags += '-';
      directive.width = std::abs(*w);
    }
  } else if (auto w = readNumber(fmt, pos)) {
    directive.width = static_cast<int>(std::min<size_t>(*w, kMaxFieldWidth));
  }
  if (pos < fmt.size() && fmt[pos] == '.') {
    ++pos;
    if (pos < fmt.size() && fmt[pos] == '*') {
      ++pos;
      auto p = readStarArgument(fmt, pos, args);
      if (p && *p >= 0) directive.precision = *p;  // a negative precision counts as none
    } else {
      directive.precision =
          static_cast<int>(std::min<size_t>(readNumber(fmt, pos).value_or(0), kMaxFieldWidth));
    }
  }
  directive.length = readLength(fmt, pos);
  if (pos >= fmt.size() || !isConversion(fmt[pos])) return std::nullopt;
  directive.conversion = fmt[pos++];
  // The old capital forms are the long forms of d, u and o.
  if (directive.conversion == 'D' || directive.conversion == 'U' || directive.conversion == 'O') {
    directive.conversion = static_cast<char>(directive.conversion - 'A' + 'a');
    directive.length = Length::Long;
  }
  return directive;
}

}  // namespace

FormatArg::FormatArg(const char* v) {
  if (v) {
    value_ = std::string(v);
  } else {
    value_ = Absent{};
  }
}

FormatArg::FormatArg(const std::optional<std::string>& v) {
  if (v) {
    value_ = *v;
  } else {
    value_ = Absent{};
  }
}

std::string vformat(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  Arguments arguments(args);
  size_t pos = 0;
  while (pos < fmt.size()) {
    size_t percent = fmt.find('%', pos);
    if (percent == std::string_view::npos) {
      out.append(fmt.substr(pos));
      break;
    }
    out.append(fmt.substr(pos, percent - pos));
    if (percent + 1 < fmt.size() && fmt[percent + 1] == '%') {
      out += '%';
      pos = percent + 2;
      continue;
    }
    size_t next = percent + 1;
    std::optional<size_t> position;
    auto directive = readDirective(fmt, next, arguments, position);
    if (!directive) {
      // Not a conversion we know: shown as it stands, consuming nothing more.
      out.append(fmt.substr(percent, next - percent));
      pos = next;
      continue;
    }
    if (const FormatArg* arg = arguments.take(position)) out += formatConversion(*directive, *arg);
    pos = next;
  }
  return out;
}

std::string describe(const std::vector<std::string>& list) {
  plist::Array items;
  items.reserve(list.size());
  for (const auto& item : list) items.push_back(plist::Value::string(item));
  return plist::Value::array(std::move(items)).description();
}

}  // namespace platform
