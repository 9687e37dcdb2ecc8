// String formatting with printf conversions plus "%@" for objects (strings, lists, property-list
// values, exceptions, absent values). Arguments are type-checked at run time against the
// conversion: a mismatch prints the argument's description rather than reading garbage.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/exception.h"
#include "platform/plist.h"

namespace platform {

// One argument of a format. Absent values (nullptr, an empty optional, a null C string) print
// as "(null)" under "%@" and "%s".
class FormatArg {
 public:
  struct Absent {};
  using Storage = std::variant<Absent, int64_t, uint64_t, double, std::string, const void*,
                               std::vector<std::string>, const plist::Value*, const Exception*>;

  FormatArg(std::nullptr_t) : value_(Absent{}) {}
  FormatArg(bool v) : value_(int64_t{v}) {}
  FormatArg(int v) : value_(int64_t{v}) {}
  FormatArg(long v) : value_(int64_t{v}) {}
  FormatArg(long long v) : value_(int64_t{v}) {}
  FormatArg(unsigned v) : value_(uint64_t{v}) {}
  FormatArg(unsigned long v) : value_(uint64_t{v}) {}
  FormatArg(unsigned long long v) : value_(uint64_t{v}) {}
  FormatArg(double v) : value_(v) {}
  FormatArg(const char* v);
  FormatArg(char* v) : FormatArg(static_cast<const char*>(v)) {}
  FormatArg(const std::string& v) : value_(v) {}
  FormatArg(std::string_view v) : value_(std::string(v)) {}
  FormatArg(const std::optional<std::string>& v);
  FormatArg(const std::vector<std::string>& v) : value_(v) {}
  FormatArg(const plist::Value& v) : value_(&v) {}
  FormatArg(const Exception& v) : value_(&v) {}
  template <typename T>
  FormatArg(T* p) : value_(static_cast<const void*>(p)) {}
  template <typename R, typename... A>
  FormatArg(R (*fn)(A...)) : value_(reinterpret_cast<const void*>(fn)) {}

  const Storage& value() const { return value_; }

 private:
  Storage value_;
};

// Formats `fmt` with `args`. Supports flags, width, precision and length modifiers of printf for
// d i u x X o c s p f e g, plus "%@" and "%%". Missing arguments print nothing for their
// conversion; the format never reads past the arguments it was given.
std::string vformat(std::string_view fmt, std::span<const FormatArg> args);

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return vformat(fmt, {});
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return vformat(fmt, list);
  }
}

// What "%@" prints for a list of strings: one element per line in parentheses.
std::string describe(const std::vector<std::string>& list);

}  // namespace platform
