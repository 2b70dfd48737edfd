/* The smallest Windows program that proves Wine runs code of one
   architecture here: it answers with its pointer width. */
#include <stdio.h>

int main(void) {
  printf("wine-probe ok %u-bit\n", (unsigned)(sizeof(void*) * 8));
  return 0;
}
