#include "platform/download.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/curl_library.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace platform {
namespace {

constexpr const char* kProtocols = "http,https,ftp,file";
// A redirect never leads to a local file.
constexpr const char* kRedirectProtocols = "http,https,ftp";
constexpr long kMaxRedirects = 20;
// Large receive buffer: far fewer write calls on fast links.
constexpr long kReceiveBufferSize = 512 * 1024;
// Content is written to the file in pieces of this size (the library hands over 16 KiB at a
// time).
constexpr size_t kWriteBufferSize = 512 * 1024;
// Data is reported at most this often: waking the delegate's thread for every piece would cost
// more than the transfer itself on a fast link.
constexpr auto kDataReportInterval = std::chrono::milliseconds(100);

bool isSupportedAbsoluteURL(const CurlLibrary& lib, const std::string& url) {
  CURLU* handle = lib.url();
  if (!handle) return false;
  char* scheme = nullptr;
  bool ok = lib.urlSet(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            lib.urlGet(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
  if (ok) {
    std::string s = scheme;
    ok = s == "http" || s == "https" || s == "ftp" || s == "file";
  }
  lib.free(scheme);
  lib.urlCleanup(handle);
  return ok;
}

struct CurlEasyCleanup {
  const CurlLibrary* lib;
  void operator()(CURL* curl) const { lib->easyCleanup(curl); }
};
struct CurlListCleanup {
  const CurlLibrary* lib;
  void operator()(curl_slist* list) const { lib->slistFreeAll(list); }
};

std::string digestMismatch(const Sha256Digest& received, const Sha256Digest& expected) {
  return "The content's SHA-256 digest is " + toHex(received) + ", not the expected " +
         toHex(expected) + ".";
}

}  // namespace

// What the transfer thread and the tasks it posts share. `owner` and the delegate are touched
// only on the delegate's thread.
struct Download::Shared {
  DownloadDelegate* delegate = nullptr;
  Dispatcher dispatcher;
  Download* owner = nullptr;  // null once the download object is gone
  std::atomic<bool> cancelled{false};
  // Bytes received but not yet reported: data callbacks are merged while one is pending, so a
  // fast transfer cannot flood the main queue.
  std::atomic<uint64_t> pendingBytes{0};
  std::atomic<bool> dataTaskPosted{false};

  // Posts `deliver` to run with the delegate, unless the download was cancelled by then.
  template <typename F>
  void post(std::shared_ptr<Shared> self, F deliver) {
    dispatcher([self = std::move(self), deliver = std::move(deliver)] {
      if (self->cancelled || !self->owner) return;
      deliver(*self->delegate, *self->owner);
    });
  }

  void postData(const std::shared_ptr<Shared>& self, uint64_t length) {
    pendingBytes += length;
    if (dataTaskPosted.exchange(true)) return;
    post(self, [self = self.get()](DownloadDelegate& delegate, Download& download) {
      self->dataTaskPosted = false;
      uint64_t bytes = self->pendingBytes.exchange(0);
      if (bytes > 0) delegate.downloadDidReceiveData(download, bytes);
    });
  }
};

namespace {

// One transfer, run to its end on the transfer thread.
class Transfer {
 public:
  Transfer(std::shared_ptr<const CurlLibrary> lib, std::shared_ptr<Download::Shared> shared,
           URLRequest request, std::string destination)
      : lib_(std::move(lib)),
        shared_(std::move(shared)),
        request_(std::move(request)),
        destination_(std::move(destination)) {}

  void run() {
    std::unique_ptr<CURL, CurlEasyCleanup> curl(lib_->easyInit(), CurlEasyCleanup{lib_.get()});
    if (!curl) return fail("The transfer could not be set up.");
    curl_ = curl.get();
    lastProgress_ = std::chrono::steady_clock::now();
    std::unique_ptr<curl_slist, CurlListCleanup> headers(
        lib_->slistAppend(lib_->slistAppend(nullptr, "Cache-Control: no-cache"),
                          "Pragma: no-cache"),
        CurlListCleanup{lib_.get()});
    configure(headers.get());
    errorBuffer_[0] = '\0';
    CURLcode code = lib_->easyPerform(curl_);

    if (shared_->cancelled) return removeFile();
    if (timedOut_) return fail("The request timed out.");
    if (code != CURLE_OK) {
      std::string description = writeError_.empty() ? std::string(errorBuffer_) : writeError_;
      if (description.empty()) description = lib_->easyStrerror(code);
      return fail(description);
    }
    if (!openFileOnce() || !flush()) return fail(writeError_);
    reportData(std::chrono::steady_clock::now());
    if (!fd_.close()) return fail("The file " + destination_ + " could not be written.");
    if (request_.expectedSha256) {
      const Sha256Digest received = hash_.finish();
      if (received != *request_.expectedSha256) {
        return fail(digestMismatch(received, *request_.expectedSha256));
      }
    }
    shared_->post(shared_, [](DownloadDelegate& delegate, Download& download) {
      delegate.downloadDidFinish(download);
    });
  }

 private:
  void configure(curl_slist* headers) {
    const long timeout = static_cast<long>(request_.timeoutInterval + 0.5);
    lib_->easySetopt(curl_, CURLOPT_URL, request_.url.c_str());
    lib_->easySetopt(curl_, CURLOPT_PROTOCOLS_STR, kProtocols);
    lib_->easySetopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, kRedirectProtocols);
    lib_->easySetopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
    lib_->easySetopt(curl_, CURLOPT_MAXREDIRS, kMaxRedirects);
    lib_->easySetopt(curl_, CURLOPT_NOSIGNAL, 1L);
    lib_->easySetopt(curl_, CURLOPT_FAILONERROR, 1L);
    lib_->easySetopt(curl_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    lib_->easySetopt(curl_, CURLOPT_HTTPHEADER, headers);
    lib_->easySetopt(curl_, CURLOPT_FRESH_CONNECT, 1L);
    lib_->easySetopt(curl_, CURLOPT_CONNECTTIMEOUT, timeout);
    lib_->easySetopt(curl_, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    lib_->easySetopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
    if (request_.userAgent) lib_->easySetopt(curl_, CURLOPT_USERAGENT, request_.userAgent->c_str());
    lib_->easySetopt(curl_, CURLOPT_WRITEFUNCTION, &Transfer::onData);
    lib_->easySetopt(curl_, CURLOPT_WRITEDATA, this);
    lib_->easySetopt(curl_, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    lib_->easySetopt(curl_, CURLOPT_HEADERDATA, this);
    lib_->easySetopt(curl_, CURLOPT_NOPROGRESS, 0L);
    lib_->easySetopt(curl_, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    lib_->easySetopt(curl_, CURLOPT_XFERINFODATA, this);
  }

  static size_t onData(char* data, size_t size, size_t count, void* self) {
    return static_cast<Transfer*>(self)->receive(data, size * count);
  }

  // Header bytes are progress too: a slow server may take its time over a redirect.
  static size_t onHeader(char*, size_t size, size_t count, void* self) {
    static_cast<Transfer*>(self)->lastProgress_ = std::chrono::steady_clock::now();
    return size * count;
  }

  // Lets a cancel stop the transfer between two pieces of data, and while it waits for some
  // (the library calls this about once a second when nothing arrives).
  static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& transfer = *static_cast<Transfer*>(self);
    if (transfer.shared_->cancelled) return 1;
    transfer.timedOut_ = transfer.idleTooLong();
    return transfer.timedOut_ ? 1 : 0;
  }

  // The time-out is an idle timer: a transfer that keeps receiving data, however slowly, never
  // times out. The library's low-speed check averages over its window and would cut off a
  // server sending a byte every few seconds.
  bool idleTooLong() const {
    const std::chrono::duration<double> idle = std::chrono::steady_clock::now() - lastProgress_;
    return idle.count() > request_.timeoutInterval;
  }

  size_t receive(const char* data, size_t length) {
    if (shared_->cancelled) return CURL_WRITEFUNC_ERROR;
    lastProgress_ = std::chrono::steady_clock::now();
    if (!openFileOnce()) return CURL_WRITEFUNC_ERROR;
    if (buffered_ + length > buffer_.size() && !flush()) return CURL_WRITEFUNC_ERROR;
    if (length >= buffer_.size()) {
      if (!writeToFile(data, length)) return CURL_WRITEFUNC_ERROR;
    } else {
      std::memcpy(buffer_.data() + buffered_, data, length);
      buffered_ += length;
    }
    unreported_ += length;
    const auto now = std::chrono::steady_clock::now();
    if (!reportedOnce_ || now - lastReport_ >= kDataReportInterval) reportData(now);
    return length;
  }

  void reportData(std::chrono::steady_clock::time_point now) {
    if (unreported_ == 0) return;
    shared_->postData(shared_, unreported_);
    unreported_ = 0;
    reportedOnce_ = true;
    lastReport_ = now;
  }

  bool flush() {
    const bool ok = writeToFile(buffer_.data(), buffered_);
    buffered_ = 0;
    return ok;
  }

  // What reaches the file is hashed on its way there: the digest needs no second pass.
  bool writeToFile(const char* data, size_t length) {
    if (request_.expectedSha256) hash_.update(data, length);
    if (writeAll(fd_.get(), data, length)) return true;
    writeError_ = "The file " + destination_ + " could not be written: " + std::strerror(errno);
    return false;
  }

  // The response is known once content arrives (or the transfer ends without any): report it,
  // then create the file.
  bool openFileOnce() {
    if (responded_) return static_cast<bool>(fd_);
    responded_ = true;
    URLResponse response;
    curl_off_t length = -1;
    if (lib_->easyGetinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
      response.expectedContentLength = length;
    }
    char* url = nullptr;
    if (lib_->easyGetinfo(curl_, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) {
      response.url = url;
    }
    char* type = nullptr;
    if (lib_->easyGetinfo(curl_, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) {
      response.mimeType = type;
    }
    fd_.reset(::open(destination_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd_) {
      writeError_ = "The file " + destination_ + " could not be created: " + std::strerror(errno);
      return false;
    }
    shared_->post(shared_, [response](DownloadDelegate& delegate, Download& download) {
      delegate.downloadDidReceiveResponse(download, response);
    });
    return true;
  }

  void removeFile() {
    fd_.close();
    if (responded_) ::unlink(destination_.c_str());
  }

  void fail(const std::string& description) {
    removeFile();
    DownloadError error{description, request_.url};
    shared_->post(shared_, [error](DownloadDelegate& delegate, Download& download) {
      delegate.downloadDidFail(download, error);
    });
  }

  std::shared_ptr<const CurlLibrary> lib_;
  std::shared_ptr<Download::Shared> shared_;
  URLRequest request_;
  std::string destination_;
  CURL* curl_ = nullptr;
  Sha256 hash_;
  UniqueFd fd_;
  bool responded_ = false;
  std::vector<char> buffer_ = std::vector<char>(kWriteBufferSize);
  size_t buffered_ = 0;
  uint64_t unreported_ = 0;
  bool reportedOnce_ = false;
  std::chrono::steady_clock::time_point lastReport_;
  // When the last byte (header or content) arrived; the transfer's start before any.
  std::chrono::steady_clock::time_point lastProgress_;
  bool timedOut_ = false;
  std::string writeError_;
  char errorBuffer_[CURL_ERROR_SIZE];
};

}  // namespace

Download::Download(URLRequest request, DownloadDelegate& delegate, Dispatcher dispatcher,
                   std::variant<std::shared_ptr<const CurlLibrary>, std::string> curl)
    : request_(std::move(request)), curl_(std::move(curl)), shared_(std::make_shared<Shared>()) {
  shared_->delegate = &delegate;
  shared_->dispatcher = std::move(dispatcher);
  shared_->owner = this;
}

std::unique_ptr<Download> Download::create(URLRequest request, DownloadDelegate& delegate,
                                           Dispatcher dispatcher) {
  auto curl = CurlLibrary::load();
  // Without the library the address cannot be checked: the download fails when it starts.
  if (auto* lib = std::get_if<std::shared_ptr<const CurlLibrary>>(&curl);
      lib && !isSupportedAbsoluteURL(**lib, request.url)) {
    return nullptr;
  }
  return std::unique_ptr<Download>(
      new Download(std::move(request), delegate, std::move(dispatcher), std::move(curl)));
}

Download::~Download() {
  cancel();
  shared_->owner = nullptr;
  if (thread_.joinable()) thread_.join();
}

void Download::start() {
  if (thread_.joinable() || started_) return;
  started_ = true;
  if (const auto* unavailable = std::get_if<std::string>(&curl_)) {
    DownloadError error{*unavailable, request_.url};
    shared_->post(shared_, [error](DownloadDelegate& delegate, Download& download) {
      delegate.downloadDidFail(download, error);
    });
    return;
  }
  auto lib = std::get<std::shared_ptr<const CurlLibrary>>(curl_);
  thread_ = std::thread([transfer = Transfer(std::move(lib), shared_, request_,
                                             destination_)]() mutable { transfer.run(); });
}

void Download::cancel() { shared_->cancelled = true; }

}  // namespace platform
