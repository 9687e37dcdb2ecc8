// The platform's property-list readers against libplist, the library the launchers read with
// before: every property list the tests hold (fixtures, fuzz corpora, any file either reader
// takes) must read as the same value tree, or be refused by both. Where libplist is plainly
// wrong, the file is listed below with the reason.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "platform/plist.h"
#include "support/plist_reference.h"

namespace fs = std::filesystem;

namespace {

// C's conversions of a double to an integer as this machine's instruction makes them: a value
// that does not fit (or NaN) comes out as the type's minimum.
template <typename Int>
Int x86Truncation(double v) {
  const bool fits = v > static_cast<double>(std::numeric_limits<Int>::min()) - 1.0 &&
                    v < -static_cast<double>(std::numeric_limits<Int>::min());
  return fits ? static_cast<Int>(v) : std::numeric_limits<Int>::min();
}

// A date as libplist hands it over: 32-bit seconds and the whole microseconds of the fraction,
// without its sign, each converted as above.
double libplistDate(double date) {
  const int32_t seconds = x86Truncation<int32_t>(date);
  const double fraction = date - static_cast<double>(x86Truncation<int64_t>(date));
  const int32_t micros = x86Truncation<int32_t>(std::fabs(fraction * 1e6));
  return seconds + micros / 1e6;
}

// Equality that takes a NaN to be itself; with `asLibplist`, our dates are first cut down as
// libplist cuts them.
bool same(const plist::Value& ours, const plist::Value& theirs, bool asLibplist) {
  if (ours.type() != theirs.type()) return false;
  switch (ours.type()) {
    case plist::Value::Type::Real: {
      double x = *ours.asReal(), y = *theirs.asReal();
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    case plist::Value::Type::Date: {
      double x = *ours.asDate(), y = *theirs.asDate();
      return x == y || (asLibplist && libplistDate(x) == y);
    }
    case plist::Value::Type::Array:
      if (ours.size() != theirs.size()) return false;
      for (size_t i = 0; i < ours.size(); ++i) {
        if (!same(ours[i], theirs[i], asLibplist)) return false;
      }
      return true;
    case plist::Value::Type::Dictionary: {
      const auto& x = *ours.asDictionary();
      const auto& y = *theirs.asDictionary();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !same(i->second, j->second, asLibplist)) return false;
      }
      return true;
    }
    default:
      return ours == theirs;
  }
}

// Why the readings of one input may differ: the cases where libplist is plainly wrong. Empty
// when they must agree.
std::string knownDifference(const std::string& path, const plist::Reading& ours,
                            const std::optional<plist::Value>& theirs) {
  static const std::map<std::string, std::string> kByPath = {
      // libplist refuses an empty UTF-16 text (its converter returns nothing for no units).
      {"fuzz/corpus/plist/631500c1b7db6184d3b8fe5d75e922caba67f546", "an empty UTF-16 text"},
  };
  if (auto known = kByPath.find(path); known != kByPath.end()) return known->second;
  if (!ours.value && theirs) {
    // expat's own errors name the column: the bytes are not XML at all. libplist's reader is no
    // XML parser, and takes NUL bytes, stray "<" and "&", broken declarations and tags as text.
    if (ours.reason.find(", column ") != std::string::npos) return "not well-formed XML";
    // libplist reads a <key> outside any dictionary as a string.
    if (ours.reason.ends_with("<key> outside a dictionary")) return "a key outside a dictionary";
  }
  // libplist hands dates over in 32-bit seconds, wrapping (or, past them, undefined) and
  // dropping the sign of a fraction; the reader keeps the stored date.
  if (ours.value && theirs && same(*ours.value, *theirs, true)) return "a date libplist cuts";
  return std::string();
}

std::string shown(const std::optional<plist::Value>& value) {
  return value ? value->description().substr(0, 4000) : std::string("(refused)");
}

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(PlistDifferentialTest, EveryListUnderTestsReadsAsLibplistReadsIt) {
  const fs::path root = QMK_TESTS_DIR;
  size_t compared = 0;
  size_t read = 0;
  std::map<std::string, size_t> differences;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), root).string();
    const std::string bytes = contentOf(entry.path());
    const plist::Reading reading = plist::parseWithReason(bytes);
    const auto& ours = reading.value;
    const auto theirs = testing_support::libplistParse(bytes);
    const bool named = entry.path().extension() == ".plist";
    if (!ours && !theirs && !named) continue;
    ++compared;
    if (ours) ++read;
    const bool agree = ours ? theirs && same(*ours, *theirs, false) : !theirs;
    if (agree) continue;
    const std::string why = knownDifference(relative, reading, theirs);
    if (!why.empty()) {
      ++differences[why];
      continue;
    }
    ADD_FAILURE() << relative << "\n  ours:     " << (ours ? shown(ours) : reading.reason)
                  << "\n  libplist: " << shown(theirs);
  }
  for (const auto& [why, count] : differences) {
    std::cout << count << " inputs differ as documented: " << why << "\n";
  }
  // The corpora hold hundreds of lists; a walk that finds few has lost its way.
  EXPECT_GT(compared, 100u);
  EXPECT_GT(read, 50u);
}

}  // namespace
