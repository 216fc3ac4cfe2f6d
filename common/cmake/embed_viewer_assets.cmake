# Writes a C++ source holding the viewer page's files as string constants.
# cmake -DSOURCE_DIR=<web folder> -DOUTPUT=<file.cpp> -DFILES="a.html;b.js" [-DBUILT_FILES="/path/c.js"]
#       -P embed_viewer_assets.cmake
# Built files are served under their own name, like the page's files.
set(entries "")
set(literals "")
set(index 0)
set(paths "")
foreach(name IN LISTS FILES)
  list(APPEND paths "${SOURCE_DIR}/${name}")
endforeach()
list(APPEND paths ${BUILT_FILES})
foreach(path IN LISTS paths)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" content)
  string(FIND "${content}" ")qova_asset\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${name} contains the raw string delimiter")
  endif()
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND literals "constexpr std::string_view kAsset${index} = R\"qova_asset(${content})qova_asset\";\n")
  string(APPEND entries "    {\"/${name}\", \"${type}\", kAsset${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from the viewer page by embed_viewer_assets.cmake; do not edit.
#include \"viewer_assets.h\"

#include <iterator>

namespace qova::common {

namespace {
${literals}
constexpr ViewerAsset kAssets[] = {
${entries}};
}  // namespace

const ViewerAsset* findViewerAsset(std::string_view path) {
  for (const auto& asset : kAssets) {
    if (asset.path == path) return &asset;
  }
  return nullptr;
}

}  // namespace qova::common
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
