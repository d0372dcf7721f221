// Hand-edited configuration files: any bytes at all must be read without a
// crash, a hang or a leak, and an invalid line must be the one reported.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "settings/config_file.h"
#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0; // fmemopen refuses an empty buffer
  }
  std::vector<char> text(data, data + size);
  FILE *stream = fmemopen(text.data(), text.size(), "r");
  if (stream == nullptr) {
    return 0;
  }
  settings = Settings{};
  int invalidLine = applyConfig(stream);
  fclose(stream);
  if (invalidLine != 0 && invalidLine != settings.configLineNo) {
    abort();
  }
  if (settings.device == nullptr) {
    abort();
  }
  return 0;
}
