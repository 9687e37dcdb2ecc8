// Writing string tables (Contents/Resources/<language>.lproj/Localizable.strings) in the text
// form the launchers read: UTF-8, one "key" = "text"; line per entry.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bundler {

using StringEntries = std::vector<std::pair<std::string, std::string>>;

// The table's text; quotes, backslashes and line breaks in keys and texts are escaped.
std::string stringsTableText(const StringEntries& entries);
// The launchers' message texts, with `overrides` replacing the texts of the keys they name.
StringEntries messageEntries(const StringEntries& overrides = {});

}  // namespace bundler
