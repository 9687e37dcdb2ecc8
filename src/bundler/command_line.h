// Command-line options of the subcommands: "--name value" and "--name=value", repeatable
// options, switches, positional arguments, and the --help text made from the same table.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bundler/commands.h"

namespace bundler {

struct OptionSyntax {
  std::string name;       // without the leading "--"
  std::string valueName;  // empty for a switch
  std::string help;
  bool repeatable = false;
};

struct CommandSyntax {
  std::string command;  // "create"
  std::string usage;    // the synopsis after "qmk-bundle <command>"
  std::string summary;  // a paragraph printed under the synopsis
  std::vector<OptionSyntax> options;
  size_t maxPositional = 0;
};

class ParsedOptions {
 public:
  bool helpRequested = false;
  std::vector<std::string> positional;

  bool has(const std::string& name) const { return values_.contains(name); }
  // The value of a non-repeatable option; absent when not given.
  std::optional<std::string> value(const std::string& name) const;
  // Every value of a repeatable option, in order.
  std::vector<std::string> values(const std::string& name) const;
  // The option's value, or a usage error naming the option when it is missing.
  std::string required(const std::string& name) const;

  void add(const std::string& name, std::string value) { values_[name].push_back(std::move(value)); }

 private:
  std::map<std::string, std::vector<std::string>> values_;
};

// Parses `args` by `syntax`; raises UsageError for an unknown option, a missing value, an option
// given twice that is not repeatable, or too many positional arguments.
ParsedOptions parseOptions(const CommandSyntax& syntax, const Arguments& args);
std::string helpText(const CommandSyntax& syntax);

}  // namespace bundler
