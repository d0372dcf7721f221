// Writes the configuration file that restates qelvo's built-in values to
// the path given: the Debian package installs it as the site-wide file, so
// that it always agrees with the code it was built from.
#include <cstdio>

#include "settings/config_file.h"

int main(int argc, char *argv[]) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  FILE *stream = fopen(argv[1], "w");
  if (stream == nullptr) {
    perror(argv[1]);
    return 1;
  }
  printDefaultConfig(stream);
  bool failed = ferror(stream) != 0;
  if (fclose(stream) != 0 || failed) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
