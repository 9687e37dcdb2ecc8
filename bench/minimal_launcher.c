/* The least a launcher can do: load a runtime launcher library and call JLI_Launch with the
 * vector it was given. The reference against which appstub's own start-up work is measured.
 * Usage: minimal_launcher LIBRARY ARG... */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int (*launch_t)(int, char**, int, const char**, int, const char**, const char*, const char*,
                        const char*, const char*, unsigned char, unsigned char, unsigned char, int);

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  void* lib = dlopen(argv[1], RTLD_LAZY);
  /* Copied rather than cast: ISO C has no conversion from object to function pointers. */
  launch_t launch = NULL;
  void* symbol = lib ? dlsym(lib, "JLI_Launch") : NULL;
  memcpy(&launch, &symbol, sizeof launch);
  if (!launch) {
    fprintf(stderr, "minimal_launcher: %s\n", dlerror());
    return 2;
  }
  argv[1] = argv[0];
  return launch(argc - 1, argv + 1, 0, NULL, 0, NULL, "1.7.0", "1.7.0", "java", "java", 0, 0, 0, 0);
}
