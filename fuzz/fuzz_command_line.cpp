// Command lines from scripts and typing hands: the options are read from
// arguments separated by NUL bytes; nothing may crash, and the operand index
// must stay inside argv unless --help or --version stopped the parse.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings/command_line.h"
#include "settings/settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The parser's complaints go to stdio's stderr; sanitizer reports do not.
  stderr = fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t MAX_ARGS = 64;
  std::vector<std::string> args{"qelvo"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < MAX_ARGS; ++i) {
    if (data[i] == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (!current.empty() && args.size() < MAX_ARGS) {
    args.push_back(current);
  }
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  int argc = static_cast<int>(args.size());

  settings = Settings{};
  settings.programName = "qelvo";
  int operand = parseOptions(argc, argv.data());
  bool infoRequest = operand == OPTIONS_WANT_HELP || operand == OPTIONS_WANT_VERSION;
  if ((!infoRequest && (operand < 1 || operand > argc)) || settings.device == nullptr) {
    abort();
  }
  return 0;
}
