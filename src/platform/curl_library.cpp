#include "platform/curl_library.h"

#include <dlfcn.h>

namespace platform {
namespace {

// The loader's text for the last failure; never empty.
std::string loaderError() {
  const char* text = ::dlerror();
  return text ? text : "no reason given";
}

template <typename Function>
bool bind(void* handle, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(handle, name));
  return function != nullptr;
}

}  // namespace

void CurlLibrary::HandleClose::operator()(void* handle) const { ::dlclose(handle); }

std::variant<std::shared_ptr<const CurlLibrary>, std::string> CurlLibrary::load() {
  // Never unloaded for real (RTLD_NODELETE): its TLS backend registers exit handlers and may keep
  // threads, which must not outlive the code they run.
  void* handle = ::dlopen(kName, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) return std::string(kName) + " could not be loaded: " + loaderError();
  std::shared_ptr<CurlLibrary> library(new CurlLibrary(handle));
  const std::string missing = library->resolve();
  if (!missing.empty()) {
    return std::string(kName) + " lacks the function " + missing + ": " + loaderError();
  }
  const CURLcode code = library->globalInit(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    return std::string(kName) + " could not be initialised: " + library->easyStrerror(code);
  }
  library->initialised_ = true;
  return std::shared_ptr<const CurlLibrary>(std::move(library));
}

CurlLibrary::~CurlLibrary() {
  if (initialised_) globalCleanup();
}

std::string CurlLibrary::resolve() {
  void* h = handle_.get();
  if (!bind(h, "curl_global_init", globalInit)) return "curl_global_init";
  if (!bind(h, "curl_global_cleanup", globalCleanup)) return "curl_global_cleanup";
  if (!bind(h, "curl_easy_init", easyInit)) return "curl_easy_init";
  if (!bind(h, "curl_easy_cleanup", easyCleanup)) return "curl_easy_cleanup";
  if (!bind(h, "curl_easy_setopt", easySetopt)) return "curl_easy_setopt";
  if (!bind(h, "curl_easy_perform", easyPerform)) return "curl_easy_perform";
  if (!bind(h, "curl_easy_getinfo", easyGetinfo)) return "curl_easy_getinfo";
  if (!bind(h, "curl_easy_strerror", easyStrerror)) return "curl_easy_strerror";
  if (!bind(h, "curl_slist_append", slistAppend)) return "curl_slist_append";
  if (!bind(h, "curl_slist_free_all", slistFreeAll)) return "curl_slist_free_all";
  if (!bind(h, "curl_url", url)) return "curl_url";
  if (!bind(h, "curl_url_set", urlSet)) return "curl_url_set";
  if (!bind(h, "curl_url_get", urlGet)) return "curl_url_get";
  if (!bind(h, "curl_url_cleanup", urlCleanup)) return "curl_url_cleanup";
  if (!bind(h, "curl_free", free)) return "curl_free";
  return "";
}

}  // namespace platform
