// The captures folder as the web side sees it: one descriptor, opened at
// start, through which every listing and download goes. Only plain names
// directly in it are served, each opened with O_NOFOLLOW and served only
// when it is a regular file, so that nothing outside the folder, no link and
// no hidden file (the token file among them) can be reached.
#pragma once

#include <sys/types.h>

#include <string>

#include "serve/token.h"

// Opens DIR, making it (not its parents) when missing; DIR itself may be a
// link. -1, with a message on standard error, when that fails.
int openCapturesDir(const char *dir);

// Whether `name` may be served at all: not empty, no "/", no leading ".", no
// control byte.
bool servableName(const char *name);

// The JSON array of GET /api/captures, newest first.
std::string listCaptures(int dirFd, const Token &token);

// A descriptor of the capture `name` and its size; -1 when it is not one.
int openCapture(int dirFd, const char *name, const Token &token, off_t &size);
