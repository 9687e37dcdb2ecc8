// qmk-bundle check BUNDLE [--json] [-- ARGUMENTS]: what appstub would do with the bundle and
// what would go wrong, without starting anything but the runtime's own `java -version`.
#include <cstdio>
#include <string>

#include "bundler/check_report.h"
#include "bundler/commands.h"
#include "bundler/json_writer.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr const char* kUsage =
    "usage: qmk-bundle check BUNDLE [--json] [-- ARGUMENT...]\n"
    "\n"
    "Tells, without starting the application, what its launcher will do: whether the Info.plist\n"
    "reads, every runtime the search tries and why it is refused, the runtime chosen, the exact\n"
    "launch vector, the working directory and LANG; and warns about what looks wrong. Nothing in\n"
    "the bundle is changed. ARGUMENTs are taken as the launcher's command line.\n"
    "\n"
    "  --json   one JSON object instead of lines of text\n"
    "\n"
    "Exit status: 0 the launch would start, 1 it would not, 2 usage error.\n";

struct CheckOptions {
  std::string bundle;
  bool json = false;
  std::vector<std::string> arguments;
};

// Absent after a usage error, which has been reported.
std::optional<CheckOptions> parseOptions(const Arguments& args, bool& help) {
  CheckOptions options;
  bool haveBundle = false;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg == "--") {
      options.arguments.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (arg == "--help" || arg == "-h") {
      help = true;
      return options;
    }
    if (arg == "--json") {
      options.json = true;
    } else if (arg.starts_with("-") || haveBundle) {
      std::fprintf(stderr, "qmk-bundle check: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return std::nullopt;
    } else {
      options.bundle = arg;
      haveBundle = true;
    }
  }
  if (!haveBundle) {
    std::fprintf(stderr, "qmk-bundle check: name the bundle to check\n%s", kUsage);
    return std::nullopt;
  }
  return options;
}

std::string candidateLine(const RuntimeCandidate& c) {
  std::string line = c.path;
  if (c.version) line += " (" + *c.version + ")";
  line += c.refusal ? ": refused, " + *c.refusal : ": accepted";
  return line;
}

void printText(const CheckReport& r) {
  std::printf("bundle: %s\n", r.bundle.c_str());
  std::printf("launcher: %s\n", r.launcher ? r.launcher->c_str() : "(none)");
  std::printf("Info.plist: %s\n",
              r.infoPlistProblem ? ("does not read: " + *r.infoPlistProblem).c_str() : "reads");
  std::printf("version: %s\n", r.version ? r.version->c_str() : "(none)");
  for (const auto& c : r.candidates) std::printf("runtime tried: %s\n", candidateLine(c).c_str());
  if (r.runtime) {
    std::printf("runtime: %s%s\n", r.runtime->path.c_str(),
                r.runtime->version ? (" " + *r.runtime->version).c_str() : "");
    std::printf("launcher library: %s\n", r.runtime->library.c_str());
  } else {
    std::printf("runtime: none fits\n");
  }
  for (const auto& packed : r.packedArchives) {
    std::printf("the launch would expand: %s\n", packed.c_str());
  }
  std::printf("working directory: %s\n",
              r.workingDirectory ? r.workingDirectory->c_str() : "(where it is started)");
  std::printf("LANG: %s\n", r.lang ? ("set to " + *r.lang).c_str() : "left as it is");
  if (!r.startupCache.empty()) std::printf("startup cache: %s\n", r.startupCache.c_str());
  if (r.launchVector) {
    std::printf("launch vector:\n");
    for (const auto& entry : *r.launchVector) std::printf("  %s\n", entry.c_str());
  }
  for (const auto& w : r.warnings) std::printf("warning: %s\n", w.c_str());
  for (const auto& f : r.failures) std::printf("failure: %s\n", f.c_str());
  std::printf("%s\n", r.wouldStart() ? "the launch would start" : "the launch would not start");
}

void printJson(const CheckReport& r) {
  JsonWriter json;
  json.beginObject();
  json.key("bundle").value(r.bundle);
  json.key("launcher").value(r.launcher);
  json.key("infoPlist").beginObject();
  json.key("path").value(r.infoPlist);
  json.key("reads").value(!r.infoPlistProblem);
  json.key("reason").value(r.infoPlistProblem);
  json.endObject();
  json.key("version").value(r.version);
  json.key("candidates").beginArray();
  for (const auto& c : r.candidates) {
    json.beginObject();
    json.key("path").value(c.path);
    json.key("version").value(c.version);
    json.key("accepted").value(!c.refusal);
    json.key("refusal").value(c.refusal);
    json.endObject();
  }
  json.endArray();
  json.key("runtime");
  if (r.runtime) {
    json.beginObject();
    json.key("path").value(r.runtime->path);
    json.key("version").value(r.runtime->version);
    json.key("library").value(r.runtime->library);
    json.endObject();
  } else {
    json.null();
  }
  json.key("packedArchives").strings(r.packedArchives);
  json.key("launchVector");
  if (r.launchVector) {
    json.strings(*r.launchVector);
  } else {
    json.null();
  }
  json.key("workingDirectory").value(r.workingDirectory);
  json.key("lang").value(r.lang);
  json.key("startupCache").value(r.startupCache);
  json.key("warnings").strings(r.warnings);
  json.key("failures").strings(r.failures);
  json.key("wouldStart").value(r.wouldStart());
  json.endObject();
  std::printf("%s\n", json.text().c_str());
}

}  // namespace

int runCheck(const Arguments& args) {
  bool help = false;
  std::optional<CheckOptions> options = parseOptions(args, help);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options) return 2;
  if (!platform::FileManager().isDirectory(options->bundle)) {
    std::fprintf(stderr, "qmk-bundle check: %s is not a bundle directory\n",
                 options->bundle.c_str());
    return 1;
  }
  CheckReport report = explainLaunch(options->bundle, options->arguments);
  if (options->json) {
    printJson(report);
  } else {
    printText(report);
  }
  std::fflush(stdout);
  return report.wouldStart() ? 0 : 1;
}

}  // namespace bundler
