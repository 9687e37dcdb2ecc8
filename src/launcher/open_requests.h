#pragma once
#include <string>
#include <vector>
namespace qmk::services {
// One later start's request: its command-line arguments as given and its working directory.
struct OpenRequest {
  std::vector<std::string> arguments;
  std::string workingDirectory;
};
// The process's queue between the single-instance server and the application's handler.
// push() keeps at most 64 requests while nobody takes them, dropping the oldest with an
// always-on line; take() blocks until a request is there.
void pushOpenRequest(OpenRequest request);
OpenRequest takeOpenRequest();
}  // namespace qmk::services
