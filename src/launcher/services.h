// The launcher's side of the Java API (com.quillmark.launcher.LauncherServices): what its
// natives report about the launch, and the natives themselves, which appstub exports so that
// System.loadLibrary("quillmark") binds to the executable without a library file.
#pragma once

#include <optional>
#include <string>

#include "platform/bundle.h"

namespace qmk::services {

// What the natives report about the launch that started the runtime.
struct LaunchRecord {
  std::string bundlePath;
  std::optional<std::string> version;  // CFBundleShortVersionString
};

// Leaves the record of a plain launch of `bundle` for the natives when the bundle's services
// are on; does nothing when they are off, so that the natives refuse to bind. Called before
// the runtime starts; the first record of a process stays.
void recordLaunch(const platform::Bundle& bundle);
// The record, or null when no launch with the services on left one.
const LaunchRecord* launchRecord();

}  // namespace qmk::services
