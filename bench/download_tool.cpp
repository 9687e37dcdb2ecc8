// Downloads one URL with the platform download, its callbacks delivered on the run loop that
// setupstub's main thread runs without a window: download_tool URL DESTINATION
#include <cstdio>
#include <functional>

#include "platform/download.h"
#include "setupstub/main_queue.h"

namespace {

class Delegate : public platform::DownloadDelegate {
 public:
  explicit Delegate(RunLoop& loop) : loop_(loop) {}
  void downloadDidReceiveResponse(platform::Download&, const platform::URLResponse&) override {}
  void downloadDidReceiveData(platform::Download&, uint64_t length) override { bytes += length; }
  void downloadDidFinish(platform::Download&) override { loop_.stop(); }
  void downloadDidFail(platform::Download&, const platform::DownloadError& error) override {
    std::fprintf(stderr, "download_tool: %s\n", error.localizedDescription.c_str());
    failed = true;
    loop_.stop();
  }
  uint64_t bytes = 0;
  bool failed = false;

 private:
  RunLoop& loop_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: download_tool URL DESTINATION\n");
    return 2;
  }
  RunLoop loop;
  Delegate delegate(loop);
  auto download = platform::Download::create(
      {.url = argv[1]}, delegate, [&](std::function<void()> task) { loop.post(std::move(task)); });
  if (!download) return 2;
  download->setDestination(argv[2]);
  download->start();
  loop.run();
  return delegate.failed ? 1 : 0;
}
