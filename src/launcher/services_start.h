// The launcher services a plain launch sets up before it searches a runtime: single instance
// and restart. The re-entry road and the second entry never come here.
#pragma once

#include <optional>
#include <string>

#include "platform/bundle.h"

namespace qmk::services {

// For a plain start (count and vector as the process received them): forwards the start to a
// running instance of a single-instance bundle and returns the status to end with (0), or sets
// up serving and restarting as the bundle asks and returns absent to go on with the launch.
// A bundle with none of the keys costs two environment look-ups.
std::optional<int> prepareStart(const platform::Bundle& bundle, int count, char** vector);

// Records what a restart re-executes (this launcher, the vector and environment it was started
// with, its working directory) and installs the exit handler that does it: when the process
// exits with `restartStatus`, or whatever the status after requestRestart().
void armRestart(std::optional<int> restartStatus, int count, char** vector);

// Removes the restart bookkeeping a restarted launcher was handed from the environment, so that
// the application and its children never see it.
void dropRestartBookkeeping();

}  // namespace qmk::services
