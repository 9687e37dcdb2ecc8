// Binding the runtime's launcher library and handing it the launch vector.
#include "launcher/jli.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/services.h"
#include "platform/exception.h"
#include "platform/file_manager.h"

namespace {

constexpr const char* kLaunchError = "JavaLaunchError";
constexpr const char* kDefaultVersion = "1.7.0";
constexpr const char* kNoRuntimeKey = "AppleJavaMinVersionError";

// Environment markers of a launch in progress, read by a re-executed copy of this process.
constexpr const char* kResumePid = "QMK_RESUME_PID";
constexpr const char* kResumeLibrary = "QMK_RESUME_LIBRARY";
constexpr const char* kResumeVersion = "QMK_RESUME_VERSION";

// The runtime library's string list, as far as the launcher touches it.
struct JliList {
  char** elements;
  size_t size;
  size_t capacity;
};

using ListNew = JliList* (*)(size_t capacity);
using ListAdd = void (*)(JliList* list, char* string);
using InitArgProcessing = void (*)(jboolean hasJavaArgs, jboolean disableArgFile);
using PreprocessArg = JliList* (*)(const char* arg, jboolean expandSourceOpt);
using StringDup = char* (*)(const char* s);
using MemFree = void (*)(void* p);

struct ListFunctions {
  ListNew listNew = nullptr;
  ListAdd listAdd = nullptr;
  InitArgProcessing initArgProcessing = nullptr;
  PreprocessArg preprocessArg = nullptr;
  StringDup stringDup = nullptr;
  MemFree memFree = nullptr;

  bool complete() const {
    return listNew && listAdd && initArgProcessing && preprocessArg && stringDup && memFree;
  }
};

template <typename F>
F bind(void* library, const char* name) {
  return reinterpret_cast<F>(dlsym(library, name));
}

void* loadLibrary(const std::string& path) {
  // Loaded for the life of the process: the runtime runs inside it.
  void* library = dlopen(path.c_str(), RTLD_LAZY);
  if (library == nullptr) {
    ALOG("%s [Line %d] dlopen %@ failed: %s", path, dlerror());
    throw platform::Exception(kLaunchError, "Could not load JRE.");
  }
  return library;
}

// Lets the library expand "@" entries. Entry 0, the program path, is never expanded.
void expandArgumentFiles(const ListFunctions& f) {
  // The first flag says whether Java arguments are embedded in this launcher; there are none.
  // With it set the library would go on expanding past the main class, into the application's
  // own arguments.
  f.initArgProcessing(0, 0);
  JliList* list = f.listNew(static_cast<size_t>(argc) + 1);
  f.listAdd(list, f.stringDup(argv[0]));
  for (int i = 1; i < argc; i++) {
    if (JliList* expanded = f.preprocessArg(argv[i], 1)) {
      for (size_t j = 0; j < expanded->size; j++) f.listAdd(list, expanded->elements[j]);
      f.memFree(expanded->elements);
      f.memFree(expanded);
    } else {
      f.listAdd(list, f.stringDup(argv[i]));
    }
  }
  if (list->size > static_cast<size_t>(INT_MAX - 1)) {
    throw platform::Exception(kLaunchError, "The expanded launch vector is too long.");
  }
  int count = static_cast<int>(list->size);
  f.listAdd(list, nullptr);
  argc = count;
  argv = list->elements;
}

bool hasArgumentFileEntry() {
  for (int i = 0; i < argc; i++) {
    if (argv[i] != nullptr && argv[i][0] == '@') return true;
  }
  return false;
}

}  // namespace

std::string Launcher::libraryPath() const {
  const platform::SystemLayout& layout = context_.layout;
  if (pluginUsed && layout.pluginLibrary) return *layout.pluginLibrary;
  platform::FileManager files;
  const auto& locations = layout.libraryLocations;
  for (size_t i = 0; i + 1 < locations.size(); i++) {
    std::string candidate = platform::joinPath(*javaBundlePath, locations[i]);
    if (files.fileExists(candidate)) return candidate;
    DLOG("%s [Line %d] no library at %@", candidate);
  }
  // The last location is taken untested: loading it reports what is wrong.
  return platform::joinPath(*javaBundlePath, locations.empty() ? "" : locations.back());
}

int32_t Launcher::launch() {
  if (!javaBundlePath) {
    DLOG("%s [Line %d] no suitable JRE found.");
    displayError(context_, kNoRuntimeKey, getJavaMinVersion(context_),
                 info()["CFBundleName"].stringValue());
    return 1;
  }

  std::string path = libraryPath();
  if (!(pluginUsed && context_.layout.pluginLibrary)) DLOG("%s [Line %d] load library %@.", path);
  void* library = loadLibrary(path);

  JLI_LaunchFxnPtr = bind<JLI_Launch_t>(library, "JLI_Launch");
  ListFunctions f;
  f.listNew = bind<ListNew>(library, "JLI_List_new");
  f.listAdd = bind<ListAdd>(library, "JLI_List_add");
  f.initArgProcessing = bind<InitArgProcessing>(library, "JLI_InitArgProcessing");
  f.preprocessArg = bind<PreprocessArg>(library, "JLI_PreprocessArg");
  f.stringDup = bind<StringDup>(library, "JLI_StringDup");
  f.memFree = bind<MemFree>(library, "JLI_MemFree");
  if (JLI_LaunchFxnPtr == nullptr) {
    throw platform::Exception(kLaunchError, "Could not get function pointer for JLI_Launch.");
  }

  if (hasArgumentFileEntry()) {
    DLOG("%s [Line %d] @ argument found");
    if (f.complete()) {
      expandArgumentFiles(f);
    } else {
      DLOG("%s [Line %d] did not find all list functions %p %p %p %p %p %p", f.listNew, f.listAdd,
           f.initArgProcessing, f.preprocessArg, f.stringDup, f.memFree);
    }
  }

  DLOG("%s [Line %d] launching %p %d", JLI_LaunchFxnPtr, argc);
  for (int i = 0; i < argc; i++) DLOG("%s [Line %d] arg %s", argv[i]);

  if (launchJavaVersion == nullptr) launchJavaVersion = strdup(kDefaultVersion);
  markLaunchForResume(path, launchJavaVersion);
  return callJliLaunch(argc, argv);
}

int callJliLaunch(int count, char** vector) {
  return JLI_LaunchFxnPtr(count, vector, 0, nullptr, 0, nullptr, launchJavaVersion,
                          launchJavaVersion, "java", "java", 0, 0, 0, 0);
}

namespace {

// Whether the runtime library may re-execute this program before it starts the runtime. On
// Linux it does so only to change LD_LIBRARY_PATH, and only when that is already set.
bool runtimeMayReexecute() {
#ifdef __linux__
  return getenv("LD_LIBRARY_PATH") != nullptr;
#else
  return true;
#endif
}

// The markers are the launcher's own: the application and its children never see them.
void clearResumeMarkers() {
  unsetenv(kResumePid);
  unsetenv(kResumeLibrary);
  unsetenv(kResumeVersion);
}

}  // namespace

void markLaunchForResume(const std::string& libraryPath, const char* version) {
  clearResumeMarkers();
  if (!runtimeMayReexecute()) return;
  setenv(kResumePid, std::to_string(getpid()).c_str(), 1);
  setenv(kResumeLibrary, libraryPath.c_str(), 1);
  setenv(kResumeVersion, version, 1);
}

std::optional<int> resumeAfterReexec(int count, char** vector) {
  const char* pid = getenv(kResumePid);
  const char* library = getenv(kResumeLibrary);
  const char* version = getenv(kResumeVersion);
  // Only this very process: markers left by some other start name another pid.
  if (pid == nullptr || library == nullptr || version == nullptr ||
      std::to_string(getpid()) != pid) {
    return std::nullopt;
  }
  const std::string libraryPath = library;
  launchJavaVersion = strdup(version);
  clearResumeMarkers();
  DLOG("%s [Line %d] resuming launch with %@", libraryPath);
  void* handle = dlopen(libraryPath.c_str(), RTLD_LAZY);
  JLI_Launch_t launch = handle ? bind<JLI_Launch_t>(handle, "JLI_Launch") : nullptr;
  if (launch == nullptr) {
    ALOG("%s [Line %d] could not resume the launch with %@", libraryPath);
    return 1;
  }
  JLI_LaunchFxnPtr = launch;
  // The record the natives read went with the old process image; the bundle gives it again.
  if (auto bundle = platform::Bundle::main()) qmk::services::recordLaunch(*bundle);
  return callJliLaunch(count, vector);
}
