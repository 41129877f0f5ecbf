/* Prints the version of the Tessel library it runs with. */
#include <stdio.h>
#include <tessel/version.h>

int main(void) {
  printf("tessel %s\n", tessel_version());
  return 0;
}
