# Writes OUT, a C++ table of every regular file directly in DIR: name,
# content type by extension, and bytes. Run with cmake -P at build time.
file(GLOB names RELATIVE "${DIR}" LIST_DIRECTORIES false "${DIR}/*")
list(SORT names)
set(arrays "")
set(rows "")
set(i 0)
foreach(name IN LISTS names)
  if(IS_DIRECTORY "${DIR}/${name}" OR name MATCHES "^\\.")
    continue()
  endif()
  if(NOT name MATCHES "^[A-Za-z0-9_.-]+$")
    message(FATAL_ERROR "page file name must be letters, digits, '.', '_' or '-': ${name}")
  endif()
  string(REGEX MATCH "[^.]*$" ext "${name}")
  string(TOLOWER "${ext}" ext)
  if(ext STREQUAL "html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL "js" OR ext STREQUAL "mjs")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL "css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL "svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL "png")
    set(type "image/png")
  elseif(ext STREQUAL "ico")
    set(type "image/x-icon")
  elseif(ext STREQUAL "json")
    set(type "application/json")
  elseif(ext STREQUAL "txt")
    set(type "text/plain; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  file(READ "${DIR}/${name}" hex HEX)
  file(SIZE "${DIR}/${name}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char file${i}[] = {\n${bytes}0};\n")
  string(APPEND rows "        {\"${name}\", \"${type}\", file${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${OUT}.new" "// Generated from the page's files at build time; do not edit.
#include \"page.h\"

namespace
{
${arrays}
const page_file files[] = {
${rows}};
} // namespace

std::span<const page_file> page_files()
{
	return files;
}
")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
