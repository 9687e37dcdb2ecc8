// Version strings. The input is cut at NUL bytes into three versions a, b and c; the token
// ordering must be an ordering (reflexive, antisymmetric, transitive), the splits must lose no
// text, and the bound test must accept a version at its own bound.
#include "fuzz_support.h"
#include "launcher/Launcher.h"
#include "platform/unicode.h"

namespace {

// The text as the UTF-16 functions see it: bytes that are not UTF-8 become U+FFFD.
std::string normalised(const std::string& s) { return unicode::toUtf8(unicode::toUtf16(s)); }

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& part : parts) out += part;
  return out;
}

void checkSplits(const std::string& s) {
  FUZZ_CHECK(joined(Launcher::splitVersionString(s)) == normalised(s));
  for (const auto& token : Launcher::splitVersionString(s)) FUZZ_CHECK(!token.empty());

  // Components joined again with the separators between them give the text back.
  const auto components = Launcher::versionComponents(s);
  FUZZ_CHECK(!components.empty());
  size_t length = components.size() - 1;  // one separator between two components
  for (const auto& c : components) length += c.size();
  FUZZ_CHECK(length == normalised(s).size());

  (void)Launcher::typeOfCharacter(unicode::toUtf16(s));
  (void)Launcher::isBetaVersion(s);
  (void)Launcher::removeJrePrefix(s);
}

void checkOrdering(const std::string& a, const std::string& b, const std::string& c) {
  FUZZ_CHECK(Launcher::compareVersion(a, a) == 0);
  const int ab = Launcher::compareVersion(a, b);
  const int ba = Launcher::compareVersion(b, a);
  FUZZ_CHECK(ab >= -1 && ab <= 1);
  FUZZ_CHECK(ab == -ba);
  const int bc = Launcher::compareVersion(b, c);
  const int ac = Launcher::compareVersion(a, c);
  if (ab <= 0 && bc <= 0) FUZZ_CHECK(ac <= 0);
  if (ab == 0 && bc == 0) FUZZ_CHECK(ac == 0);
}

void checkBounds(const std::string& limit, const std::string& candidate) {
  const auto own = Launcher::versionComponents(limit);
  FUZZ_CHECK(Launcher::compareVersion(OptionalString(limit), own, false));
  FUZZ_CHECK(Launcher::compareVersion(OptionalString(limit), own, true));
  FUZZ_CHECK(Launcher::compareVersion(std::nullopt, own, true));

  // A candidate is within a bound that is not its own on exactly one side, or on both when it
  // compares equal to it component by component.
  const auto other = Launcher::versionComponents(candidate);
  const bool aboveMin = Launcher::compareVersion(OptionalString(limit), other, false);
  const bool belowMax = Launcher::compareVersion(OptionalString(limit), other, true);
  FUZZ_CHECK(aboveMin || belowMax);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzz::split(fuzz::asText(data, size), '\0', 3);
  parts.resize(3);
  for (const auto& part : parts) checkSplits(part);
  checkOrdering(parts[0], parts[1], parts[2]);
  checkBounds(parts[0], parts[1]);
  return 0;
}
