// The page's files, compiled into the program from src/serve/page at build
// time (cmake/embed_page.cmake), so that the server needs nothing beside it.
#pragma once

#include <cstddef>

struct PageAsset {
  const char *path; // as requested: "/", "/qelvo.js", "/qelvo.css"
  const char *contentType;
  const unsigned char *bytes;
  size_t size;
};

// The file served at `path`; nullptr for any other path.
const PageAsset *findPageAsset(const char *path);
