# The library's folders are layers: a source includes only headers of its own
# folder or of a layer below it. Run by CTest (Layout.IncludesPointDown):
#   cmake -DSOURCE_DIR=<tree> -P cmake/CheckLayers.cmake
set(layers
  core 0
  net 1  websocket 1
  service 2  realtime 2
  files 3  cloud 3
  data 4
  query 5
  users 6
  push 7
  async 8)
list(LENGTH layers count)
math(EXPR last "${count} - 1")
foreach(index RANGE 0 ${last} 2)
  math(EXPR next "${index} + 1")
  list(GET layers ${index} name)
  list(GET layers ${next} rank)
  set(rank_${name} ${rank})
endforeach()

set(faults "")
file(GLOB folders LIST_DIRECTORIES true "${SOURCE_DIR}/src/vorn/*")
foreach(folder ${folders})
  if(NOT IS_DIRECTORY ${folder})
    continue()
  endif()
  get_filename_component(name ${folder} NAME)
  if(NOT DEFINED rank_${name})
    list(APPEND faults "src/vorn/${name}/ is not in the list of layers")
    continue()
  endif()
  file(GLOB sources "${folder}/*.h" "${folder}/*.cpp")
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^#include \"vorn/[a-z]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"vorn/([a-z]+)/.*" "\\1" target "${line}")
      if(target STREQUAL name)
        continue()
      endif()
      if(NOT DEFINED rank_${target} OR NOT rank_${target} LESS rank_${name})
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        list(APPEND faults "${shown} includes vorn/${target}/, which is not below ${name}/")
      endif()
    endforeach()
  endforeach()
endforeach()
if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "includes that do not point down:\n  ${text}")
endif()
