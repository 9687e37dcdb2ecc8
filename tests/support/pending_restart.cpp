// Stand-in for the restart part, linked only while its source is not in the tree: a restart
// request changes nothing, so the application simply ends.
#include "launcher/restart.h"

namespace qmk::services {
void requestRestart() {}
}  // namespace qmk::services
