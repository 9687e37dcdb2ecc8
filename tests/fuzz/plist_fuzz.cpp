// Property-list reading: any bytes either read as a value or are refused; a value read can be
// walked, described and written, and what is written reads back as itself.
#include <cmath>

#include "fuzz_support.h"
#include "platform/plist.h"

namespace {

// Equality that takes a NaN to be itself, so that the round trip of a real NaN compares equal.
bool same(const plist::Value& a, const plist::Value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case plist::Value::Type::Real: {
      double x = *a.asReal(), y = *b.asReal();
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    case plist::Value::Type::Array: {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
      }
      return true;
    }
    case plist::Value::Type::Dictionary: {
      const auto& x = *a.asDictionary();
      const auto& y = *b.asDictionary();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !same(i->second, j->second)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

// Every reading the launchers make of a stored value.
void walk(const plist::Value& value) {
  (void)value.boolValue();
  (void)value.intValue();
  (void)value.stringValue();
  (void)value["JavaVM"];
  (void)value[0];
  if (const auto* array = value.asArray()) {
    for (const auto& item : *array) walk(item);
  } else if (const auto* dictionary = value.asDictionary()) {
    for (const auto& [key, item] : *dictionary) walk(item);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto value = plist::parse(std::string(fuzz::asText(data, size)));
  if (!value) return 0;
  walk(*value);
  (void)value->description();

  // The writer may normalise once (nulls left out of containers, identifiers as integers);
  // after that, writing and reading must change nothing.
  auto written = plist::parse(plist::toXml(*value));
  FUZZ_CHECK(written.has_value());
  auto again = plist::parse(plist::toXml(*written));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(same(*written, *again));
  return 0;
}
