// qmk-bundle: makes, checks and installs application bundles around the launchers.
#include <cstdio>
#include <cstring>
#include <string>

#include "bundler/commands.h"

namespace {

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const bundler::Arguments&);
};

constexpr Command kCommands[] = {
    {"create", "make an application bundle from jars", bundler::runCreate},
    {"installer", "make an installer bundle around setupstub", bundler::runInstaller},
    {"import", "convert another launcher's Info.plist", bundler::runImport},
    {"check", "explain what the launcher will do with a bundle", bundler::runCheck},
    {"desktop", "write or install a desktop entry for a bundle", bundler::runDesktop},
    {"keygen", "make a key for signing update feeds", bundler::runKeygen},
    {"publish", "write a bundle's signed update feed", bundler::runPublish},
    {"package", "make a Debian or RPM package of a bundle", bundler::runPackage},
};

void printUsage(FILE* to) {
  std::fputs("usage: qmk-bundle <command> [<options>]\n\ncommands:\n", to);
  for (const auto& command : kCommands) std::fprintf(to, "  %-10s %s\n", command.name, command.summary);
  std::fputs("\n'qmk-bundle <command> --help' describes a command's options.\n", to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage(stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printUsage(stdout);
    return 0;
  }
  for (const auto& command : kCommands) {
    if (name == command.name) return command.run(bundler::Arguments(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "qmk-bundle: '%s' is not a command. See 'qmk-bundle --help'.\n", name.c_str());
  return 2;
}
