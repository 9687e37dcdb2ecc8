// A download of one URL into a file. The transfer runs on a thread of its own; the delegate's
// callbacks are handed to a dispatcher (the main queue of the program) and arrive there in
// order: the response, data (any number of times), then either the finish or the failure.
//
// The request is made afresh, bypassing caches. A transfer that makes no progress for the
// time-out interval fails; redirects are followed; proxies come from the environment
// (http_proxy, https_proxy, all_proxy, no_proxy); the content is stored exactly as sent, never
// decoded; file: URLs work; an HTTP error status is a failure. A failed or cancelled transfer
// leaves no file behind.
//
// The transfer library is loaded when a download is created; where the machine lacks it, the
// download fails (through the delegate, like any other failure) with a description naming it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "platform/sha256.h"

namespace platform {

struct URLResponse {
  // The length the server announced, -1 when it gave none.
  int64_t expectedContentLength = -1;
  std::string url;  // where the content came from, after redirects
  std::optional<std::string> mimeType;
};

struct DownloadError {
  std::string localizedDescription;
  std::optional<std::string> failingURLString;
};

class Download;
class CurlLibrary;

class DownloadDelegate {
 public:
  virtual ~DownloadDelegate() = default;
  virtual void downloadDidReceiveResponse(Download& download, const URLResponse& response) = 0;
  virtual void downloadDidReceiveData(Download& download, uint64_t length) = 0;
  virtual void downloadDidFinish(Download& download) = 0;
  virtual void downloadDidFail(Download& download, const DownloadError& error) = 0;
};

// Runs a task on the delegate's thread, later; must not wait for it.
using Dispatcher = std::function<void(std::function<void()> task)>;

struct URLRequest {
  std::string url;
  // Seconds without any byte received after which the transfer fails; a transfer that keeps
  // receiving, however slowly, never times out.
  double timeoutInterval = 60;
  std::optional<std::string> userAgent;
  // When set, the content must have this digest: it is hashed as it is written, and any other
  // content fails the download (its file removed) with both digests in the description.
  std::optional<Sha256Digest> expectedSha256;
};

class Download {
 public:
  // A download of `request`; absent when its URL is not an absolute URL of a supported scheme
  // (http, https, ftp, file). Nothing is transferred before start().
  static std::unique_ptr<Download> create(URLRequest request, DownloadDelegate& delegate,
                                          Dispatcher dispatcher);
  // Cancels the transfer and waits for its thread.
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // Where the content goes; an existing file there is replaced.
  void setDestination(const std::string& path) { destination_ = path; }
  const std::string& destination() const { return destination_; }
  const URLRequest& request() const { return request_; }
  // Starts the transfer thread. Call once, after setDestination.
  void start();
  // Stops the transfer. Call on the delegate's thread: no callback comes after this returns.
  // The partial file is removed.
  void cancel();

  struct Shared;

 private:
  Download(URLRequest request, DownloadDelegate& delegate, Dispatcher dispatcher,
           std::variant<std::shared_ptr<const CurlLibrary>, std::string> curl);

  URLRequest request_;
  std::string destination_;
  // What the transfer thread needs: the loaded library, or why it could not be loaded.
  std::variant<std::shared_ptr<const CurlLibrary>, std::string> curl_;
  std::shared_ptr<Shared> shared_;
  bool started_ = false;
  std::thread thread_;
};

}  // namespace platform
