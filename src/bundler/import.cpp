// qmk-bundle import OTHER.plist [--out Info.plist] [--force]: another launcher's Info.plist in
// our form, with a line on standard error for every key saying what became of it.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bundler/commands.h"
#include "bundler/import_mapping.h"
#include "platform/file_manager.h"
#include "platform/plist.h"

namespace bundler {

namespace {

constexpr const char* kUsage =
    "usage: qmk-bundle import OTHER.plist [--out FILE] [--force]\n"
    "\n"
    "Converts the Info.plist of another Java launcher (a \"Java\" or \"JavaX\" dictionary, or\n"
    "the top-level JVMMainClassName, JVMOptions, ... keys) into the JavaVM dictionary and the\n"
    "version bounds appstub reads. Every other key is kept. Standard error says, key by key,\n"
    "what was mapped and what could not be.\n"
    "\n"
    "  --out FILE   write the result to FILE (default: standard output)\n"
    "  --force      replace FILE when it exists\n";

struct ImportOptions {
  std::string input;
  std::optional<std::string> out;
  bool force = false;
};

std::optional<ImportOptions> parseOptions(const Arguments& args, bool& help) {
  ImportOptions options;
  bool haveInput = false;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return options;
    }
    if (arg == "--force") {
      options.force = true;
    } else if (arg == "--out" && i + 1 < args.size()) {
      options.out = args[++i];
    } else if (arg.starts_with("--out=")) {
      options.out = arg.substr(6);
    } else if (arg.starts_with("-") || haveInput) {
      std::fprintf(stderr, "qmk-bundle import: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return std::nullopt;
    } else {
      options.input = arg;
      haveInput = true;
    }
  }
  if (!haveInput) {
    std::fprintf(stderr, "qmk-bundle import: name the Info.plist to convert\n%s", kUsage);
    return std::nullopt;
  }
  return options;
}

// The bundle of X.app/Contents/Info.plist, which tells where its jars are.
std::optional<std::string> bundleOf(const std::string& plistPath) {
  const std::string contents = platform::deletingLastPathComponent(platform::absolutePath(plistPath));
  if (platform::lastPathComponent(contents) != "Contents") return std::nullopt;
  return platform::deletingLastPathComponent(contents);
}

// Written beside the target and renamed into place, so a failure leaves no half-written file.
bool writeAtomically(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".qmk-import-" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      error = "cannot write " + temporary;
      std::filesystem::remove(temporary);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    error = "cannot replace " + path + ": " + ec.message();
    std::filesystem::remove(temporary);
    return false;
  }
  return true;
}

}  // namespace

int runImport(const Arguments& args) {
  bool help = false;
  std::optional<ImportOptions> options = parseOptions(args, help);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options) return 2;

  plist::Reading reading = plist::readFileWithReason(options->input);
  if (!reading.value) {
    std::fprintf(stderr, "qmk-bundle import: %s: %s\n", options->input.c_str(),
                 reading.reason.c_str());
    return 1;
  }
  if (!reading.value->isDictionary()) {
    std::fprintf(stderr, "qmk-bundle import: %s holds no dictionary at its top\n",
                 options->input.c_str());
    return 1;
  }
  std::error_code ec;
  if (options->out && !options->force && std::filesystem::symlink_status(*options->out, ec).type() !=
                                               std::filesystem::file_type::not_found) {
    std::fprintf(stderr, "qmk-bundle import: %s exists; give --force to replace it\n",
                 options->out->c_str());
    return 1;
  }

  ImportResult result = importForeignInfo(*reading.value->asDictionary(), bundleOf(options->input));
  for (const auto& note : result.notes) std::fprintf(stderr, "%s\n", note.c_str());
  const std::string xml = plist::toXml(plist::Value::dictionary(std::move(result.info)));
  if (!options->out) {
    std::fwrite(xml.data(), 1, xml.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  std::string error;
  if (!writeAtomically(*options->out, xml, error)) {
    std::fprintf(stderr, "qmk-bundle import: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace bundler
