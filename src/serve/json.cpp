#include "serve/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// A cursor over the body; every reader returns false at the first fault.
struct Reader {
  std::string_view text;
  size_t at = 0;

  void skipSpace() {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
      ++at;
    }
  }
  bool take(char c) {
    skipSpace();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool readHex4(Reader &in, unsigned &value) {
  if (in.text.size() - in.at < 4) {
    return false;
  }
  value = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hexValue(in.text[in.at++]);
    if (digit < 0) {
      return false;
    }
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

void appendUtf8(std::string &out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The length of the UTF-8 sequence at `at`, or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t utf8Length(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length = lead < 0x80                    ? 1
                  : lead >= 0xC2 && lead <= 0xDF ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length <= 1 || text.size() - at < length) {
    return length == 1 ? 1 : 0; // a lone ASCII byte may be the text's last
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      return 0;
    }
  }
  unsigned second = byte(at + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

bool readEscape(Reader &in, std::string &out) {
  if (in.at >= in.text.size()) {
    return false;
  }
  char c = in.text[in.at++];
  switch (c) {
  case '"': out += '"'; return true;
  case '\\': out += '\\'; return true;
  case '/': out += '/'; return true;
  case 'b': out += '\b'; return true;
  case 'f': out += '\f'; return true;
  case 'n': out += '\n'; return true;
  case 'r': out += '\r'; return true;
  case 't': out += '\t'; return true;
  case 'u': break;
  default: return false;
  }
  unsigned code = 0;
  if (!readHex4(in, code)) {
    return false;
  }
  if (code >= 0xDC00 && code <= 0xDFFF) {
    return false;
  }
  if (code >= 0xD800 && code <= 0xDBFF) {
    unsigned low = 0;
    if (in.text.substr(in.at, 2) != "\\u") {
      return false;
    }
    in.at += 2;
    if (!readHex4(in, low) || low < 0xDC00 || low > 0xDFFF) {
      return false;
    }
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  // A NUL would cut the value short once it becomes a C string.
  if (code == 0) {
    return false;
  }
  appendUtf8(out, code);
  return true;
}

bool readString(Reader &in, std::string &out) {
  if (!in.take('"')) {
    return false;
  }
  out.clear();
  while (in.at < in.text.size()) {
    unsigned char c = static_cast<unsigned char>(in.text[in.at]);
    if (c == '"') {
      ++in.at;
      return true;
    }
    if (c < 0x20) {
      return false;
    }
    if (c == '\\') {
      ++in.at;
      if (!readEscape(in, out)) {
        return false;
      }
      continue;
    }
    size_t length = utf8Length(in.text, in.at);
    if (length == 0) {
      return false;
    }
    out.append(in.text.substr(in.at, length));
    in.at += length;
  }
  return false;
}

} // namespace

bool parseStringObject(std::string_view text,
                       std::vector<std::pair<std::string, std::string>> &members) {
  members.clear();
  Reader in{text};
  if (!in.take('{')) {
    return false;
  }
  if (!in.take('}')) {
    do {
      std::string key;
      std::string value;
      if (!readString(in, key) || !in.take(':') || !readString(in, value)) {
        return false;
      }
      for (const auto &member : members) {
        if (member.first == key) {
          return false;
        }
      }
      members.emplace_back(std::move(key), std::move(value));
    } while (in.take(','));
    if (!in.take('}')) {
      return false;
    }
  }
  in.skipSpace();
  return in.at == text.size();
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else if (c >= 0x80) {
      size_t length = utf8Length(text, at);
      if (length == 0) {
        appendUtf8(out, c); // ISO 8859-1
        ++at;
      } else {
        out.append(text.substr(at, length));
        at += length;
      }
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++at;
  }
  out += '"';
  return out;
}

std::string jsonNumber(double value) {
  if (!std::isfinite(value)) {
    return "null";
  }
  // The shortest text that reads back as the same double.
  char text[32];
  std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end.ptr);
}
