// The C library's floating-point formatting, which runs on the soft-float
// helpers the toolchain links in: wrong helpers print garbage or trap.
#include <stdio.h>

int main(int argc, char** argv) {
  (void)argv;
  volatile double x = 2.5;
  printf("%g %g %.3f\n", x, x * argc + 0.25, x / 3);
  return 0;
}
