# vx_export_headers(TARGET SCOPE FOLDER)
# Puts the headers of src/FOLDER, and only those, on TARGET's include path,
# spelled "FOLDER/Header.h" as everywhere else: through a directory of the
# build tree that holds nothing but a link to src/FOLDER. A library thus
# hands its users its own headers and those of what it links, not all of src/.
function(vx_export_headers target scope folder)
  set(_root ${CMAKE_BINARY_DIR}/exported/${folder})
  if(NOT EXISTS ${_root}/${folder})
    file(MAKE_DIRECTORY ${_root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${_root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${_root})
endfunction()

# vx_subsystem(NAME SOURCES... [DEPENDS libs...])
# Declares the static library of one subsystem folder (target vx_<NAME>),
# exporting its own headers.
function(vx_subsystem name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(vx_${name} STATIC ${A_SOURCES})
  vx_export_headers(vx_${name} PUBLIC ${name})
  if(A_DEPENDS)
    target_link_libraries(vx_${name} PUBLIC ${A_DEPENDS})
  endif()
endfunction()

# vx_embed_bytes(OUTPUT INPUT SYMBOL COMMENT)
# A generated C++ source that defines `SYMBOL[]` and `SYMBOL_size` with the
# bytes of INPUT (cmake/VxEmbed.cmake), remade when INPUT changes.
function(vx_embed_bytes output input symbol comment)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/VxEmbed.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/VxEmbed.cmake
    COMMENT "${comment}")
endfunction()

# vx_windows_program(target): a program or DLL that ships to Windows users.
# The functions its runtime libraries call that the oldest supported
# Windows lacks are answered by our own import slots
# (src/system/win32/OldWindows.c), so that it starts there.
function(vx_windows_program target)
  if(VX_WIN32)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/system/win32/OldWindows.c)
  endif()
endfunction()
