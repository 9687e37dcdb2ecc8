#include "bundler/command_line.h"

#include "bundler/failure.h"

namespace bundler {

namespace {

const OptionSyntax* findOption(const CommandSyntax& syntax, const std::string& name) {
  for (const auto& option : syntax.options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

std::string seeHelp(const CommandSyntax& syntax) {
  return " See 'qmk-bundle " + syntax.command + " --help'.";
}

}  // namespace

std::optional<std::string> ParsedOptions::value(const std::string& name) const {
  auto found = values_.find(name);
  if (found == values_.end() || found->second.empty()) return std::nullopt;
  return found->second.back();
}

std::vector<std::string> ParsedOptions::values(const std::string& name) const {
  auto found = values_.find(name);
  return found == values_.end() ? std::vector<std::string>{} : found->second;
}

std::string ParsedOptions::required(const std::string& name) const {
  auto given = value(name);
  if (!given) throw UsageError("--" + name + " is required.");
  return *given;
}

ParsedOptions parseOptions(const CommandSyntax& syntax, const Arguments& args) {
  ParsedOptions parsed;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || !arg.starts_with("-") || arg == "-") {
      if (parsed.positional.size() >= syntax.maxPositional) {
        throw UsageError("unexpected argument '" + arg + "'." + seeHelp(syntax));
      }
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.helpRequested = true;
      continue;
    }
    if (!arg.starts_with("--")) throw UsageError("unknown option '" + arg + "'." + seeHelp(syntax));
    std::string name = arg.substr(2);
    std::optional<std::string> inlineValue;
    if (auto equals = name.find('='); equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    const OptionSyntax* option = findOption(syntax, name);
    if (!option) throw UsageError("unknown option '--" + name + "'." + seeHelp(syntax));
    if (option->valueName.empty()) {
      if (inlineValue) throw UsageError("--" + name + " takes no value.");
      parsed.add(name, "");
      continue;
    }
    if (!option->repeatable && parsed.has(name)) {
      throw UsageError("--" + name + " was given twice; it takes one value.");
    }
    if (inlineValue) {
      parsed.add(name, *inlineValue);
    } else if (i + 1 < args.size()) {
      parsed.add(name, args[++i]);
    } else {
      throw UsageError("--" + name + " needs a value (" + option->valueName + ").");
    }
  }
  return parsed;
}

std::string helpText(const CommandSyntax& syntax) {
  std::string text = "usage: qmk-bundle " + syntax.command + " " + syntax.usage + "\n\n" +
                     syntax.summary + "\n\noptions:\n";
  for (const auto& option : syntax.options) {
    std::string left = "  --" + option.name;
    if (!option.valueName.empty()) left += " " + option.valueName;
    if (left.size() < 28) {
      left.resize(28, ' ');
    } else {
      left += "\n" + std::string(28, ' ');
    }
    text += left + option.help + (option.repeatable ? " (repeatable)" : "") + "\n";
  }
  text += "  --help                    this text\n";
  return text;
}

}  // namespace bundler
