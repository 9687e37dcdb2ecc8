// The checker's log, "update.log" in the state folder: one line per check that staged nothing
// or something, always written, kept under 1 MiB by dropping its older half.
#pragma once

#include <string>

namespace qmk::update {

// Appends "<UTC time> <text>" as one line (line breaks in `text` become spaces).
void appendUpdateLog(const std::string& stateDir, const std::string& text);

}  // namespace qmk::update
