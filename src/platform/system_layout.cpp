#include "platform/system_layout.h"

namespace platform {

namespace {

// The directory name JDK 8 gives this machine's architecture under jre/lib.
constexpr const char* kJdk8ArchitectureDirectory =
#if defined(__x86_64__)
    "amd64";
#elif defined(__aarch64__)
    "aarch64";
#elif defined(__i386__)
    "i386";
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    "ppc64le";
#elif defined(__powerpc64__)
    "ppc64";
#elif defined(__s390x__)
    "s390x";
#elif defined(__arm__)
    "arm";
#elif defined(__riscv) && __riscv_xlen == 64
    "riscv64";
#else
#error "unknown architecture: add its JDK 8 library directory name"
#endif

}  // namespace

SystemLayout SystemLayout::forMacOS() {
  SystemLayout layout;
  layout.libraryLocations = {
      "Contents/Home/jre/lib/jli/libjli.dylib",
      "Contents/Home/lib/jli/libjli.dylib",
      "Contents/Home/lib/libjli.dylib",
      "lib/jli/libjli.dylib",
      "lib/libjli.dylib",
  };
  layout.pluginPath = "/Library/Internet Plug-Ins/JavaAppletPlugin.plugin";
  layout.pluginLibrary = *layout.pluginPath + "/Contents/Home/lib/jli/libjli.dylib";
  layout.publicRuntimeDirectory = "/Library/Java/JavaVirtualMachines";
  layout.orderPublicRuntimesByRelease = false;
  layout.dockOptions = true;
  layout.preferencesDirectory = "Library/Preferences";
  return layout;
}

SystemLayout SystemLayout::forLinux() {
  SystemLayout layout;
  layout.libraryLocations = {
      "Contents/Home/jre/lib/jli/libjli.so",
      "Contents/Home/lib/jli/libjli.so",
      "Contents/Home/lib/libjli.so",
      "lib/jli/libjli.so",
      std::string("jre/lib/") + kJdk8ArchitectureDirectory + "/jli/libjli.so",
      "lib/libjli.so",
  };
  layout.pluginPath.reset();
  layout.pluginLibrary.reset();
  layout.publicRuntimeDirectory = "/usr/lib/jvm";
  layout.orderPublicRuntimesByRelease = true;
  layout.dockOptions = false;
  layout.preferencesDirectory = "Library/Preferences";
  return layout;
}

SystemLayout SystemLayout::host() {
#if defined(__APPLE__)
  return forMacOS();
#else
  return forLinux();
#endif
}

}  // namespace platform
