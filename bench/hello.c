/* The smallest program that starts, writes a line and exits. */
#include <stdio.h>

int main(void) {
  puts("hola");
  return 0;
}
