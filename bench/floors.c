/* What this machine charges for two steps that the launcher's services cannot leave out, for the
 * reference rows of the benchmarks that measure those services:
 *   floors thread     starts one thread in a fresh process; prints how long that took, in ns
 *                     (the serving thread a single-instance start leaves running)
 *   floors exec N     executes itself N more times, then ends
 *                     (the re-execution of a start that switches to a staged update) */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long long nanoseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void* wait_forever(void* unused) {
  (void)unused;
  for (;;) pause();
  return NULL;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "thread") == 0) {
    nanoseconds(); /* the clock's first call maps its page; not part of the thread's cost */
    const long long start = nanoseconds();
    pthread_t thread;
    if (pthread_create(&thread, NULL, wait_forever, NULL) != 0) return 1;
    printf("%lld\n", nanoseconds() - start);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "exec") == 0) {
    const int left = atoi(argv[2]);
    if (left <= 0) return 0;
    char count[16];
    snprintf(count, sizeof count, "%d", left - 1);
    char* again[] = {argv[0], argv[1], count, NULL};
    execv("/proc/self/exe", again);
    return 1;
  }
  fprintf(stderr, "usage: floors thread | floors exec N\n");
  return 2;
}
