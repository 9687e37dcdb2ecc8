#include "setupstub/gtk_api.h"

#include <dlfcn.h>

#include <memory>

#include "launcher/global.h"

namespace {

constexpr const char* kGtkLibrary = "libgtk-3.so.0";

std::unique_ptr<GtkApi> loadGtk() {
  // Never closed: the window lives until the process ends.
  void* library = ::dlopen(kGtkLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    DLOG("%s [Line %d] no window: %s", ::dlerror());
    return nullptr;
  }
  auto api = std::make_unique<GtkApi>();
  bool complete = true;
  // The library's own dependencies (GDK, GLib) are searched too.
#define QMK_RESOLVE_GTK_FUNCTION(name)                                        \
  api->name = reinterpret_cast<decltype(api->name)>(::dlsym(library, #name)); \
  if (!api->name) {                                                           \
    DLOG("%s [Line %d] no window: %s missing", #name);                        \
    complete = false;                                                         \
  }
  QMK_GTK_FUNCTIONS(QMK_RESOLVE_GTK_FUNCTION)
#undef QMK_RESOLVE_GTK_FUNCTION
  return complete ? std::move(api) : nullptr;
}

}  // namespace

const GtkApi* gtkApi() {
  static const std::unique_ptr<GtkApi> api = loadGtk();
  return api.get();
}
