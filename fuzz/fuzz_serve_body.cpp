// The body of POST /api/capture, as any client may send it: read without a
// crash, a hang or a leak; what is read back is plain text that reads the
// same once written again; and every name the capture side accepts for a
// file is one the web side serves.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serve/captures_dir.h"
#include "serve/jobs.h"
#include "serve/json.h"

namespace {

void checkName(const std::string &name) {
  if (strlen(name.c_str()) != name.size()) {
    abort(); // the parse lets no NUL through
  }
  if (plainCaptureName(name.c_str()) && !servableName(name.c_str())) {
    abort();
  }
}

} // namespace

// No job runs here: the capture side's events go nowhere.
void publishEvent(const char *, const std::string &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  std::vector<std::pair<std::string, std::string>> members;
  if (!parseStringObject(text, members)) {
    checkName(std::string(text.substr(0, strnlen(text.data(), text.size()))));
    return 0;
  }
  std::string again = "{";
  for (const auto &[key, value] : members) {
    checkName(key);
    checkName(value);
    again += (again.size() > 1 ? "," : "") + jsonString(key) + ":" + jsonString(value);
  }
  again += "}";
  std::vector<std::pair<std::string, std::string>> reread;
  if (!parseStringObject(again, reread) || reread != members) {
    abort();
  }
  return 0;
}
