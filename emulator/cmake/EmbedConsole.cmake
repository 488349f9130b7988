# Writes OUTPUT, a C++ source defining findConsoleAsset() over the files of
# the console folder INPUT_DIR (cmake -DINPUT_DIR=... -DOUTPUT=... -P this).
file(GLOB files RELATIVE ${INPUT_DIR} ${INPUT_DIR}/*)
list(SORT files)
set(entries "")
foreach(name ${files})
  if(IS_DIRECTORY ${INPUT_DIR}/${name})
    continue()
  endif()
  get_filename_component(ext ${name} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL ".png")
    set(type "image/png")
  else()
    continue()
  endif()
  file(READ ${INPUT_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  # Every byte as \xHH, 64 bytes to a line.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(REGEX REPLACE "((\\\\x[0-9a-f][0-9a-f]){64})" "\\1\"\n    \"" escaped "${escaped}")
  string(APPEND entries "    {\"${name}\", \"${type}\", std::string_view(\n    \"${escaped}\", ${size})},\n")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from the console folder; do not edit.
#include \"console/ConsoleAssets.h\"

namespace vorn::emulator {

namespace {

constexpr ConsoleAsset kAssets[] = {
${entries}};

}  // namespace

const ConsoleAsset* findConsoleAsset(std::string_view name) {
    for (const ConsoleAsset& asset : kAssets) {
        if (asset.name == name) return &asset;
    }
    return nullptr;
}

}  // namespace vorn::emulator
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
