# Writes OUTPUT, a C++ source holding the page's files (PAGE_FILES, names in
# PAGE_DIR separated by commas) as byte arrays and the findPageAsset lookup
# of serve/page_assets.h. Run with cmake -P at build time, so that an edit of
# a page file rebuilds the program. index.html is served at "/", every other
# file under its own name.
string(REPLACE "," ";" names "${PAGE_FILES}")
set(code "// Generated from the page's files by cmake/embed_page.cmake.\n")
string(APPEND code "#include \"serve/page_assets.h\"\n\n#include <cstring>\n\n")
set(table "")
set(index 0)
foreach(name ${names})
  if(name STREQUAL "index.html")
    set(served "/")
  else()
    set(served "/${name}")
  endif()
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  else()
    message(FATAL_ERROR "embed_page: no content type for ${name}")
  endif()
  file(READ ${PAGE_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REPEAT "0x..," 16 row)
  string(REGEX REPLACE "(${row})" "\\1\n" bytes "${bytes}")
  # An empty file still needs one element; its size stays 0.
  if(size EQUAL 0)
    set(bytes "0")
  endif()
  string(APPEND code "static const unsigned char PAGE_${index}[] = {\n${bytes}};\n")
  string(APPEND table "    {\"${served}\", \"${type}\", PAGE_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND code "\nstatic const PageAsset PAGE_ASSETS[] = {\n${table}};\n\n")
string(APPEND code "const PageAsset *findPageAsset(const char *path) {\n"
                   "  for (const PageAsset &asset : PAGE_ASSETS) {\n"
                   "    if (strcmp(asset.path, path) == 0) {\n"
                   "      return &asset;\n"
                   "    }\n"
                   "  }\n"
                   "  return nullptr;\n"
                   "}\n")
# Rewritten only when it changes, so that nothing recompiles for nothing.
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL code)
  file(WRITE ${OUTPUT} "${code}")
endif()
