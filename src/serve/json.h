// The little JSON qelvo-serve speaks: bodies that are one object of string
// values, and answers built as text.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reads `text` as one JSON object whose values are all strings, into
// `members` in their order (escapes decoded to UTF-8). False for anything
// else: malformed JSON, another type of value, a duplicate key, a lone
// surrogate, a NUL byte, bytes that are not UTF-8, or text after the object.
bool parseStringObject(std::string_view text,
                       std::vector<std::pair<std::string, std::string>> &members);

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 are read
// as ISO 8859-1 (the data file's µ), so the answer is always valid UTF-8.
std::string jsonString(std::string_view text);

// A double as a JSON number that reads back as the same double; null for
// NaN and the infinities.
std::string jsonNumber(double value);
