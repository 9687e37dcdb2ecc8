// Extracts a gzip-compressed tar archive with UnTar, the way setupstub does (progress callback
// included), for the extraction benchmark: untar_tool ARCHIVE DESTINATION
#include <cstdio>
#include <filesystem>

#include "launcher/UnTar.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: untar_tool ARCHIVE DESTINATION\n");
    return 2;
  }
  std::filesystem::create_directories(argv[2]);
  long calls = 0;
  UnTar::Result result = UnTar::untar(argv[1], argv[2], 6000000,
                                      [&](const std::optional<std::string>&, double) { calls++; });
  if (!result.complete) std::fprintf(stderr, "untar_tool: %s\n", result.failure.c_str());
  return result.complete ? 0 : 1;
}
