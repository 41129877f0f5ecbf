// Prints the version of the Tessel library it runs with.
#include <tessel/version.h>

#include <cstdio>

int main() {
  std::printf("tessel %s\n", tessel_version());
  return 0;
}
