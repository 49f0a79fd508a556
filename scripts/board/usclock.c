// SPDX-License-Identifier: MIT
/* Prints the monotonic clock in microseconds, for timing runs on the
 * board (/proc/uptime counts in 10 ms steps); with -n, in nanoseconds
 * (instructions, when the emulator counts them); with -r, the clock's
 * resolution in nanoseconds. Linked statically, so that reading it costs
 * no dynamic loader. */
#include <stdio.h>
#include <string.h>
#include <time.h>

int main(int argc, char **argv) {
  struct timespec t;
  if (argc > 1 && strcmp(argv[1], "-r") == 0) {
    clock_getres(CLOCK_MONOTONIC, &t);
    printf("%lld\n", (long long)t.tv_sec * 1000000000 + t.tv_nsec);
    return 0;
  }
  clock_gettime(CLOCK_MONOTONIC, &t);
  if (argc > 1 && strcmp(argv[1], "-n") == 0)
    printf("%lld\n", (long long)t.tv_sec * 1000000000 + t.tv_nsec);
  else
    printf("%lld\n", (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000);
  return 0;
}
