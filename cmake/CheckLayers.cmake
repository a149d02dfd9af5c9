# cmake -DROOT=<tree> -DLAYERS=<a;b;...> -P CheckLayers.cmake
#
# Checks every #include "..." of ROOT/src and ROOT/tools against the layer
# table (VX_LAYERS of the top CMakeLists.txt, lowest first):
# - a file of src/<layer>/ may include headers of its own layer and of the
#   layers before it, never of a layer after it;
# - "vxplugin.h", the plug-in binary interface, counts as a header of the
#   plugins layer;
# - the two hosts (system/win32/, system/sandbox/) are private to src/system:
#   everything else of src/ reaches the platform through system/host.h;
# - tools/ may include every layer (vxtool operates sandbox machines).
# Prints every violation and fails when there is one.
if(NOT ROOT OR NOT LAYERS)
  message(FATAL_ERROR "usage: cmake -DROOT=<tree> -DLAYERS=<list> -P CheckLayers.cmake")
endif()

set(_violations 0)
file(GLOB_RECURSE _files RELATIVE ${ROOT}
     ${ROOT}/src/*.h ${ROOT}/src/*.c ${ROOT}/src/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp)
list(SORT _files)
foreach(_file ${_files})
  string(REGEX MATCH "^src/([^/]+)/" _m "${_file}")
  set(_own "${CMAKE_MATCH_1}")
  set(_own_index -1)
  if(_own)
    list(FIND LAYERS "${_own}" _own_index)
    if(_own_index LESS 0)
      message("${_file}: the folder src/${_own} is not in the layer table")
      math(EXPR _violations "${_violations} + 1")
      continue()
    endif()
  endif()
  file(STRINGS ${ROOT}/${_file} _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(_line ${_lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" _header "${_line}")
    if(_header STREQUAL "vxplugin.h")
      set(_layer plugins)
    elseif(_header MATCHES "^([^/]+)/")
      set(_layer "${CMAKE_MATCH_1}")
    else()
      continue()  # beside the including file
    endif()
    list(FIND LAYERS "${_layer}" _index)
    if(_index LESS 0)
      continue()  # not a folder of src/ (tools' own headers)
    endif()
    if(_own AND _header MATCHES "^system/(win32|sandbox)/" AND NOT _own STREQUAL "system")
      message("${_file}: includes \"${_header}\": the hosts are reached through system/host.h")
      math(EXPR _violations "${_violations} + 1")
    elseif(_own AND _index GREATER _own_index)
      message("${_file}: includes \"${_header}\": ${_own} may not depend on ${_layer}, which is above it")
      math(EXPR _violations "${_violations} + 1")
    endif()
  endforeach()
endforeach()

if(_violations GREATER 0)
  message(FATAL_ERROR "${_violations} include(s) break the layer order: ${LAYERS}")
endif()
list(LENGTH _files _count)
message("layers: ${_count} files checked against ${LAYERS}")
