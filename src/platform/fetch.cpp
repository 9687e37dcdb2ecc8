#include "platform/fetch.h"

#include <chrono>
#include <memory>

#include "platform/curl_library.h"

namespace platform {
namespace {

constexpr const char* kProtocols = "http,https,file";
constexpr const char* kRedirectProtocols = "http,https";
constexpr long kMaxRedirects = 10;

using Clock = std::chrono::steady_clock;

struct EasyCleanup {
  const CurlLibrary* lib;
  void operator()(CURL* curl) const { lib->easyCleanup(curl); }
};

class BoundedTransfer {
 public:
  BoundedTransfer(const CurlLibrary& lib, const FetchRequest& request,
                  const std::function<bool(std::string_view)>& sink)
      : lib_(lib), request_(request), sink_(sink) {}

  std::optional<std::string> run() {
    std::unique_ptr<CURL, EasyCleanup> curl(lib_.easyInit(), EasyCleanup{&lib_});
    if (!curl) return "the transfer could not be set up";
    configure(curl.get());
    start_ = lastByte_ = Clock::now();
    errorBuffer_[0] = '\0';
    const CURLcode code = lib_.easyPerform(curl.get());
    if (!stopReason_.empty()) return stopReason_;
    if (code == CURLE_FILESIZE_EXCEEDED) return tooLarge();
    if (code != CURLE_OK) {
      std::string text = errorBuffer_[0] ? errorBuffer_ : lib_.easyStrerror(code);
      return text + " (" + request_.url + ")";
    }
    return std::nullopt;
  }

 private:
  void configure(CURL* curl) {
    lib_.easySetopt(curl, CURLOPT_URL, request_.url.c_str());
    lib_.easySetopt(curl, CURLOPT_PROTOCOLS_STR, kProtocols);
    lib_.easySetopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kRedirectProtocols);
    lib_.easySetopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    lib_.easySetopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    lib_.easySetopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib_.easySetopt(curl, CURLOPT_FAILONERROR, 1L);
    lib_.easySetopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    lib_.easySetopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    lib_.easySetopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request_.idleTimeout + 0.5));
    lib_.easySetopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request_.maxBytes));
    lib_.easySetopt(curl, CURLOPT_ERRORBUFFER, errorBuffer_);
    lib_.easySetopt(curl, CURLOPT_WRITEFUNCTION, &BoundedTransfer::onData);
    lib_.easySetopt(curl, CURLOPT_WRITEDATA, this);
    lib_.easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
    lib_.easySetopt(curl, CURLOPT_XFERINFOFUNCTION, &BoundedTransfer::onProgress);
    lib_.easySetopt(curl, CURLOPT_XFERINFODATA, this);
  }

  static size_t onData(char* data, size_t size, size_t count, void* self) {
    return static_cast<BoundedTransfer*>(self)->receive(data, size * count);
  }

  // Called about once a second while nothing arrives: the time-outs are checked here, since the
  // library's own low-speed check averages and would let a trickle through forever.
  static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<BoundedTransfer*>(self)->checkTime() ? 0 : 1;
  }

  size_t receive(const char* data, size_t length) {
    lastByte_ = Clock::now();
    received_ += length;
    if (received_ > request_.maxBytes) {
      stopReason_ = tooLarge();
      return CURL_WRITEFUNC_ERROR;
    }
    if (!sink_(std::string_view(data, length))) {
      stopReason_ = "the content could not be kept";
      return CURL_WRITEFUNC_ERROR;
    }
    return checkTime() ? length : CURL_WRITEFUNC_ERROR;
  }

  bool checkTime() {
    const auto now = Clock::now();
    const std::chrono::duration<double> idle = now - lastByte_;
    const std::chrono::duration<double> total = now - start_;
    if (idle.count() > request_.idleTimeout) {
      stopReason_ =
          "nothing arrived for " + seconds(request_.idleTimeout) + " (" + request_.url + ")";
      return false;
    }
    if (request_.totalTimeout > 0 && total.count() > request_.totalTimeout) {
      stopReason_ =
          "it took longer than " + seconds(request_.totalTimeout) + " (" + request_.url + ")";
      return false;
    }
    return true;
  }

  std::string tooLarge() const {
    return "it is larger than " + std::to_string(request_.maxBytes) + " bytes (" + request_.url +
           ")";
  }

  static std::string seconds(double s) { return std::to_string(static_cast<long>(s)) + " s"; }

  const CurlLibrary& lib_;
  const FetchRequest& request_;
  const std::function<bool(std::string_view)>& sink_;
  uint64_t received_ = 0;
  Clock::time_point start_;
  Clock::time_point lastByte_;
  std::string stopReason_;
  char errorBuffer_[CURL_ERROR_SIZE];
};

}  // namespace

std::optional<std::string> fetch(const FetchRequest& request,
                                 const std::function<bool(std::string_view)>& sink) {
  auto loaded = CurlLibrary::load();
  if (auto* reason = std::get_if<std::string>(&loaded)) return *reason;
  const auto& lib = *std::get<std::shared_ptr<const CurlLibrary>>(loaded);
  return BoundedTransfer(lib, request, sink).run();
}

FetchedText fetchText(const FetchRequest& request) {
  std::string content;
  auto failure = fetch(request, [&](std::string_view piece) {
    content.append(piece);
    return true;
  });
  if (failure) return {std::nullopt, *failure};
  return {std::move(content), {}};
}

}  // namespace platform
