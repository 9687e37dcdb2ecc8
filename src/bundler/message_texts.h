// The English text of every message key the launchers can show, with the inserts it is given.
// qmk-bundle writes them into each bundle's string table, so that no user sees a bare key, and
// the check warns about a key a bundle's table lacks.
#pragma once

#include <vector>

namespace bundler {

struct MessageText {
  const char* key;
  const char* text;     // the English text, with "%@" where an insert goes
  const char* inserts;  // what the inserts are, for the docs ("" when none)
};

// Launch core keys first, then the installer's (window texts included).
const std::vector<MessageText>& messageTexts();

}  // namespace bundler
