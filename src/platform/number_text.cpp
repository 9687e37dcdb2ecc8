// Without std::to_chars and std::from_chars for doubles on purpose: their library part refers to
// libm, so using them would make every launcher load one more library at start.
#include "platform/number_text.h"

#include <locale.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

locale_t cLocale() {
  static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

// The C locale for this thread while it lives.
class CLocaleScope {
 public:
  CLocaleScope() : previous_(::uselocale(cLocale())) {}
  ~CLocaleScope() { ::uselocale(previous_); }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_;
};

// A positive finite number as significant digits and a decimal exponent: value = d.ddd x 10^e.
struct Decimal {
  std::string digits;
  int exponent = 0;
};

Decimal fromScientific(const char* text) {
  Decimal d;
  const char* p = text;
  for (; *p != '\0' && *p != 'e'; ++p) {
    if (*p != '.') d.digits += *p;
  }
  if (*p == 'e') d.exponent = std::atoi(p + 1);
  return d;
}

bool readsBackAs(const Decimal& d, double v) {
  std::string text =
      d.digits.substr(0, 1) + "." + d.digits.substr(1) + "e" + std::to_string(d.exponent);
  return numberFromText(text) == v;
}

// The same number of digits, one unit higher in the last place.
Decimal nextUp(Decimal d) {
  size_t i = d.digits.size();
  while (i > 0 && d.digits[i - 1] == '9') d.digits[--i] = '0';
  if (i == 0) {
    d.digits.insert(d.digits.begin(), '1');
    d.digits.pop_back();
    ++d.exponent;
  } else {
    ++d.digits[i - 1];
  }
  return d;
}

// The fewest significant digits that read back as `v`. The correctly rounded digits of each
// length are tried; just above a power of two the nearer neighbours are closer below than above,
// so the next digits up are tried too.
Decimal shortestDigits(double v) {
  char buffer[40];
  for (int precision = 0; precision < 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*e", precision, v);
    Decimal d = fromScientific(buffer);
    if (readsBackAs(d, v)) return d;
    if (Decimal up = nextUp(d); readsBackAs(up, v)) return up;
  }
  std::snprintf(buffer, sizeof buffer, "%.16e", v);
  return fromScientific(buffer);
}

std::string scientific(const Decimal& d) {
  std::string out = d.digits.substr(0, 1);
  if (d.digits.size() > 1) out += "." + d.digits.substr(1);
  const int magnitude = std::abs(d.exponent);
  out += d.exponent < 0 ? "e-" : "e+";
  if (magnitude < 10) out += '0';
  return out + std::to_string(magnitude);
}

// `v` in fixed notation with the digits `d`; a whole number is written with all of its digits,
// as printf's "%.0f" gives them, not padded with zeros.
std::string fixed(const Decimal& d, double v) {
  const int digits = static_cast<int>(d.digits.size());
  if (d.exponent < 0) {
    return "0." + std::string(static_cast<size_t>(-d.exponent - 1), '0') + d.digits;
  }
  if (d.exponent + 1 >= digits) {
    char buffer[320];
    std::snprintf(buffer, sizeof buffer, "%.0f", v);
    return buffer;
  }
  const auto point = static_cast<size_t>(d.exponent + 1);
  return d.digits.substr(0, point) + "." + d.digits.substr(point);
}

}  // namespace

std::string shortestNumberText(double v) {
  const std::string sign = std::signbit(v) ? "-" : "";
  if (std::isnan(v)) return sign + "nan";
  if (std::isinf(v)) return sign + "inf";
  if (v == 0) return sign + "0";
  CLocaleScope locale;
  const double magnitude = std::fabs(v);
  const Decimal d = shortestDigits(magnitude);
  std::string f = fixed(d, magnitude);
  std::string e = scientific(d);
  return sign + (f.size() <= e.size() ? f : e);
}

std::optional<double> numberFromText(std::string_view text) {
  if (text.empty() || cLocale() == nullptr) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  const double v = ::strtod_l(copy.c_str(), &end, cLocale());
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return v;
}

}  // namespace platform
