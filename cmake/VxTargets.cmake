# vx_subsystem(NAME SOURCES... [DEPENDS libs...])
# Declares the static library of one subsystem folder (target vx_<NAME>).
function(vx_subsystem name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(vx_${name} STATIC ${A_SOURCES})
  target_include_directories(vx_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
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
