// The launch core's side of the runtime launcher library.
//
// A runtime library may re-execute the running program (same pid) with the launch vector it was
// handed, after changing the environment it needs. The re-executed program must then hand that
// vector straight to the same library instead of starting a new launch.
#pragma once

#include <optional>
#include <string>

// Calls the bound JLI_Launch with a vector and the fixed values every launch passes.
int callJliLaunch(int count, char** vector);

// Records, just before JLI_Launch is called, which library and version a re-executed copy of
// this process must resume with.
void markLaunchForResume(const std::string& libraryPath, const char* version);
// When this process is such a re-executed copy, binds the recorded library and calls its
// JLI_Launch with the vector it was started with; returns the status. Absent otherwise.
std::optional<int> resumeAfterReexec(int count, char** vector);
