// The error type of the launch core: a name, a reason, and the call stack where it was raised.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace platform {

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  // What "%@" prints for an exception: its reason.
  const std::string& description() const { return reason_; }
  const std::vector<std::string>& callStack() const { return callStack_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::string> callStack_;
};

}  // namespace platform
