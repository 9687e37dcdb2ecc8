#pragma once
namespace qmk::services {
// Asks that the application be started again when the process next exits, whatever its status.
void requestRestart();
}  // namespace qmk::services
