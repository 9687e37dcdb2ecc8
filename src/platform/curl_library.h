// libcurl, loaded at run time. Only the download needs it, and it brings some forty libraries
// (TLS, Kerberos, LDAP, ...) behind it: linked, they would all have to be on the user's machine
// before the installer could even start, although most installs ship their runtime and never
// download. The program is compiled against curl's headers only; the functions are resolved here.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <variant>

namespace platform {

class CurlLibrary {
 public:
  // The library's name as the dynamic loader looks it up (its stable ABI).
  static constexpr const char* kName = "libcurl.so.4";

  // Loads the library, resolves its functions and initialises it; the reason (naming the
  // library, with the loader's text) when any of that fails.
  static std::variant<std::shared_ptr<const CurlLibrary>, std::string> load();

  // Releases the global initialisation and the loader's handle.
  ~CurlLibrary();
  CurlLibrary(const CurlLibrary&) = delete;
  CurlLibrary& operator=(const CurlLibrary&) = delete;

  // The functions, as the library's headers declare them. curl_easy_setopt and
  // curl_easy_getinfo are macros under GCC (type checks), hence the other member names.
  decltype(&::curl_global_init) globalInit = nullptr;
  decltype(&::curl_global_cleanup) globalCleanup = nullptr;
  decltype(&::curl_easy_init) easyInit = nullptr;
  decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&::curl_easy_setopt) easySetopt = nullptr;
  decltype(&::curl_easy_perform) easyPerform = nullptr;
  decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&::curl_easy_strerror) easyStrerror = nullptr;
  decltype(&::curl_slist_append) slistAppend = nullptr;
  decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
  decltype(&::curl_url) url = nullptr;
  decltype(&::curl_url_set) urlSet = nullptr;
  decltype(&::curl_url_get) urlGet = nullptr;
  decltype(&::curl_url_cleanup) urlCleanup = nullptr;
  decltype(&::curl_free) free = nullptr;

 private:
  struct HandleClose {
    void operator()(void* handle) const;
  };
  explicit CurlLibrary(void* handle) : handle_(handle) {}
  // The name of the first function that cannot be resolved, empty when all were.
  std::string resolve();

  std::unique_ptr<void, HandleClose> handle_;
  bool initialised_ = false;
};

}  // namespace platform
