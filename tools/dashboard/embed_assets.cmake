# Writes a header holding the page's files as string literals, so that the
# program serves them without reading anything at run time.
#   cmake -DDIR=assets-dir -DOUT=header -P embed_assets.cmake
set(files
  "index.html|/|text/html"
  "app.js|/app.js|text/javascript"
  "style.css|/style.css|text/css"
  "icon.svg|/icon.svg|image/svg+xml")
set(text "// Generated from tools/dashboard/assets by embed_assets.cmake.\n#pragma once\n\n")
string(APPEND text "#include <string_view>\n\nnamespace mirx::dashboard {\n\n")
string(APPEND text "struct asset {\n  const char* path;\n  const char* type;\n  std::string_view body;\n};\n\n")
string(APPEND text "inline const asset assets[] = {\n")
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  list(GET parts 2 type)
  if(type MATCHES "^text/")
    string(APPEND type "; charset=utf-8")
  endif()
  file(READ "${DIR}/${name}" body)
  string(FIND "${body}" ")asset\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${name} holds the literal's closing sequence")
  endif()
  string(APPEND text "    {\"${path}\", \"${type}\", R\"asset(${body})asset\"},\n")
endforeach()
string(APPEND text "};\n\n}  // namespace mirx::dashboard\n")
file(WRITE "${OUT}.new" "${text}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
