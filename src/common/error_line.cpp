#include "common/error_line.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

std::string firstText;

} // namespace

std::string formatText(const char *format, std::va_list values) {
  std::va_list again;
  va_copy(again, values);
  int length = vsnprintf(nullptr, 0, format, values);
  std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1);
  vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  return text.data();
}

void errorLine(const char *format, ...) {
  std::va_list values;
  va_start(values, format);
  std::string text = formatText(format, values);
  va_end(values);
  fprintf(stderr, "*** Error: %s ***\n", text.c_str());
  noteErrorText(text);
}

void noteErrorText(const std::string &text) {
  if (firstText.empty()) {
    firstText = text;
  }
}

const std::string &firstErrorText() { return firstText; }

void forgetErrorText() { firstText.clear(); }
