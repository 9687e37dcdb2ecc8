// Version strings: the token ordering used to sort installed runtimes, the component bound test
// used to accept one, the pre-release test and the configured minimum.
//
// Characters are UTF-16 code units throughout, because that is how the platform the versions are
// written for counts and classifies them; the strings travel as UTF-8 and are converted here.

#include "launcher/version.h"

#include <algorithm>
#include <array>
#include <climits>
#include <string_view>

#include "launcher/Launcher.h"
#include "platform/unicode.h"

namespace {

constexpr int64_t kDigit = 0;
constexpr int64_t kOther = 1;
constexpr int64_t kSeparator = 2;

// The component separators of the bound test.
constexpr std::u16string_view kComponentSeparators = u"._-+";

int64_t classify(char16_t c) {
  if (c == u'.') return kSeparator;
  if (unicode::isDecimalDigit(c)) return kDigit;
  if (unicode::isWhitespaceOrNewline(c)) return kSeparator;
  if (unicode::isPunctuation(c)) return kSeparator;
  return kOther;
}

// Sorting a directory of runtimes classifies every character of every name many times; the
// ASCII answers are looked up once.
int64_t classOf(char16_t c) {
  static const std::array<int8_t, 128> ascii = [] {
    std::array<int8_t, 128> table{};
    for (size_t i = 0; i < table.size(); ++i) {
      table[i] = static_cast<int8_t>(classify(static_cast<char16_t>(i)));
    }
    return table;
  }();
  return c < ascii.size() ? ascii[c] : classify(c);
}

using qmk::VersionKey;
using qmk::VersionToken;

VersionToken makeToken(std::u16string text, int64_t type) {
  int64_t number = type == kDigit ? qmk::numericValue(unicode::toUtf8(text)) : 0;
  return VersionToken{std::move(text), type, number};
}

VersionKey tokenize(std::u16string_view s) {
  VersionKey tokens;
  if (s.empty()) return tokens;
  std::u16string text(1, s[0]);
  int64_t type = classOf(s[0]);
  for (size_t i = 1; i < s.size(); ++i) {
    int64_t next = classOf(s[i]);
    if (next != type || type == kSeparator) {
      tokens.push_back(makeToken(std::move(text), type));
      text.assign(1, s[i]);
    } else {
      text.push_back(s[i]);
    }
    type = next;
  }
  tokens.push_back(makeToken(std::move(text), type));
  return tokens;
}

// Rank of a class in the ordering: a word is older than a separator, a separator older than a
// number.
int rankOf(int64_t type) {
  switch (type) {
    case kOther:
      return 0;
    case kSeparator:
      return 1;
    default:
      return 2;
  }
}

int sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int compareTokens(const VersionToken& x, const VersionToken& y) {
  if (x.type != y.type) return rankOf(x.type) > rankOf(y.type) ? 1 : -1;
  switch (x.type) {
    case kOther:
      return sign(x.text.compare(y.text));
    case kDigit:
      return x.number == y.number ? 0 : (x.number > y.number ? 1 : -1);
    default:
      return 0;  // every separator is as good as another
  }
}

}  // namespace

namespace qmk {

int64_t numericValue(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' ||
                          s[i] == '\v' || s[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  // Accumulate towards the sign so that the smallest value is reachable without overflow.
  int64_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int digit = s[i] - '0';
    if (negative) {
      if (value < (INT64_MIN + digit) / 10) return INT64_MIN;
      value = value * 10 - digit;
    } else {
      if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
      value = value * 10 + digit;
    }
  }
  return value;
}

int32_t numericValue32(std::string_view s) {
  return static_cast<int32_t>(std::clamp<int64_t>(numericValue(s), INT32_MIN, INT32_MAX));
}

VersionKey versionKey(std::string_view s) { return tokenize(unicode::toUtf16(s)); }

int compareVersionKeys(const VersionKey& x, const VersionKey& y) noexcept {
  size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    if (int c = compareTokens(x[i], y[i]); c != 0) return c;
  }
  if (x.size() == y.size()) return 0;
  // One list is a prefix of the other: a trailing word marks the longer one as older (a beta of
  // the same release), a trailing number or separator as newer.
  const VersionToken& extra = x.size() > y.size() ? x[n] : y[n];
  int longerIsNewer = extra.type == kOther ? -1 : 1;
  return x.size() > y.size() ? longerIsNewer : -longerIsNewer;
}

}  // namespace qmk

int64_t Launcher::typeOfCharacter(std::u16string_view s) {
  if (s == u".") return kSeparator;
  // Callers pass single characters or tokens; an empty text has no class of its own and counts
  // as other rather than reading past its end.
  if (s.empty()) return kOther;
  return classOf(s[0]);
}

std::vector<std::string> Launcher::splitVersionString(const std::string& s) {
  std::vector<std::string> result;
  for (const VersionToken& token : tokenize(unicode::toUtf16(s))) {
    result.push_back(unicode::toUtf8(token.text));
  }
  return result;
}

int Launcher::compareVersion(const std::string& a, const std::string& b) {
  return qmk::compareVersionKeys(qmk::versionKey(a), qmk::versionKey(b));
}

std::string Launcher::removeJrePrefix(const std::string& name) {
  std::string_view s = name;
  if (s.starts_with("openjdk-")) s.remove_prefix(8);
  if (s.starts_with("openjdk")) s.remove_prefix(7);
  if (s.starts_with("jdk-") || s.starts_with("jre-")) s.remove_prefix(4);
  if (s.starts_with("jdk") || s.starts_with("jre")) s.remove_prefix(3);
  return std::string(s);
}

bool Launcher::isBetaVersion(const OptionalString& s) {
  if (!s) return false;
  return s->find("beta") != std::string::npos || s->find("ea") != std::string::npos ||
         s->find("rc") != std::string::npos;
}

std::vector<std::string> Launcher::versionComponents(const std::string& s) {
  // Split on UTF-16 code units so that a separator is never found inside a multi-byte
  // character; consecutive separators give empty components.
  std::u16string text = unicode::toUtf16(s);
  std::vector<std::string> components;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || kComponentSeparators.find(text[i]) != std::u16string_view::npos) {
      components.push_back(unicode::toUtf8(std::u16string_view(text).substr(start, i - start)));
      start = i + 1;
    }
  }
  return components;
}

bool Launcher::compareVersion(const OptionalString& limit,
                              const std::vector<std::string>& candidate, bool max) {
  if (!limit || limit->empty()) return true;
  std::vector<std::string> bound = versionComponents(*limit);
  if (bound.empty()) return true;
  for (size_t i = 0; i < bound.size(); ++i) {
    int64_t l = qmk::numericValue(bound[i]);
    int64_t c = i < candidate.size() ? qmk::numericValue(candidate[i]) : 0;
    if (c == l) continue;
    return max ? c < l : c > l;
  }
  return true;
}

OptionalString Launcher::getJavaMinVersion(const LaunchContext& context) {
  return context.mainBundle->infoValue("qmk.minVersion").stringValue();
}
