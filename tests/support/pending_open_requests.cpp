// Stand-in for the single-instance part's queue, linked only while its source is not in the
// tree: nothing pushes, so a taker waits for good, as it would with no later start.
#include <condition_variable>
#include <deque>
#include <mutex>

#include "launcher/open_requests.h"

namespace qmk::services {

namespace {
struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<OpenRequest> requests;
};
Queue& queue() {
  static Queue q;
  return q;
}
}  // namespace

void pushOpenRequest(OpenRequest request) {
  std::lock_guard lock(queue().mutex);
  if (queue().requests.size() == 64) queue().requests.pop_front();
  queue().requests.push_back(std::move(request));
  queue().ready.notify_one();
}

OpenRequest takeOpenRequest() {
  std::unique_lock lock(queue().mutex);
  queue().ready.wait(lock, [] { return !queue().requests.empty(); });
  OpenRequest request = std::move(queue().requests.front());
  queue().requests.pop_front();
  return request;
}

}  // namespace qmk::services
