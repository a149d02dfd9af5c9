/* The smallest Windows program the test script starts before a Windows
 * tree's suites: when it prints its line, this machine can run programs of
 * the tree's kind under Wine. */
#include <stdio.h>

int main(void) {
  printf("vx wine probe: %d-bit\n", (int)(sizeof(void*) * 8));
  return 0;
}
