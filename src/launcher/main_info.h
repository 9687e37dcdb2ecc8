// The application's own Info.plist, checked before a launch reads anything of it.
#pragma once

#include "platform/bundle.h"

namespace qmk {

// Raises a LaunchConfigurationError naming the file and the reader's reason when the bundle's
// Info.plist is missing, unreadable, malformed or not a dictionary: every launch key would read
// as absent, and the failure would otherwise surface as some key missing. When the list has no
// JavaVM dictionary but keys another launcher reads, an always-on line names them.
void checkApplicationInfo(const platform::Bundle& bundle);

}  // namespace qmk
