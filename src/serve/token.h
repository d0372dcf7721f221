// The access token: 32 lower-case hex digits, new from the system's random
// source at every start, or kept in a file that only its owner may read.
// Tokens are compared in constant time, so that the time of a refusal does
// not tell how much of a guess was right.
#pragma once

#include <sys/types.h>

#include <string_view>

inline constexpr size_t TOKEN_DIGITS = 32;

struct Token {
  char text[TOKEN_DIGITS + 1] = {};
  // The token file's identity, so that it is never served; 0 without one.
  dev_t fileDevice = 0;
  ino_t fileInode = 0;
};

// A fresh token, or the one in `file` (made with mode 0600 and a fresh token
// when missing). False, with a message on standard error, when the file
// cannot be read or made, is readable by group or others, or holds anything
// but one line of 32 lower-case hex digits.
bool loadToken(const char *file, Token &token);

bool tokenMatches(std::string_view given, const Token &token);
