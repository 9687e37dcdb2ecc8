#include "platform/exception.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace platform {

namespace {

// The symbols of the frames above the constructor, for the always-on failure line.
std::vector<std::string> currentCallStack() {
  void* frames[64];
  int count = ::backtrace(frames, 64);
  std::vector<std::string> stack;
  if (count <= 0) return stack;
  std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count),
                                                       &std::free);
  if (!symbols) return stack;
  // Frame 0 is this function and frame 1 the constructor: neither says where the error arose.
  for (int i = 2; i < count; ++i) stack.emplace_back(symbols.get()[i]);
  return stack;
}

}  // namespace

Exception::Exception(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)), callStack_(currentCallStack()) {}

}  // namespace platform
