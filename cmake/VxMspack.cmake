# libmspack for the extraction library.
#  - VX_MSPACK_SOURCE: Debian's source package of libmspack, unpacked into
#    the build tree at configure time. Required on Windows (the cabinet
#    reader is compiled from it with mingw); natively only its sample
#    cabinets are used, by the tests.
#  - target vx_mspack: the cabinet reader to link.
#  - VX_SMALL_CODE_FLAGS / VX_SMALL_LINK_FLAGS: how the extraction library
#    and the cabinet reader compiled into it are built for size (the
#    library is embedded in every setup file).
set(VX_SMALL_CODE_FLAGS -Os -ffunction-sections -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-ident)
set(VX_SMALL_LINK_FLAGS -Wl,--gc-sections)
if(NOT VX_WIN32)
  # (Not on Windows: there it would move zero-filled data out of .bss into
  # .data, where it takes room in the file.)
  list(APPEND VX_SMALL_CODE_FLAGS -fdata-sections)
  # One read-only segment for headers and code, no page of padding between
  # them; every symbol resolved at link time, so that a stray use of the C++
  # runtime fails the build rather than the loading.
  list(APPEND VX_SMALL_LINK_FLAGS -Wl,-z,noseparate-code -Wl,--as-needed -Wl,--no-undefined)
endif()
set(VX_MSPACK_SOURCE ${CMAKE_BINARY_DIR}/third_party/libmspack)
if(NOT EXISTS ${VX_MSPACK_SOURCE}/mspack/cabd.c)
  execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-libmspack.sh ${VX_MSPACK_SOURCE}
    RESULT_VARIABLE _vx_fetch)
endif()
set(VX_MSPACK_SOURCE_FOUND OFF)
if(EXISTS ${VX_MSPACK_SOURCE}/mspack/cabd.c)
  set(VX_MSPACK_SOURCE_FOUND ON)
endif()

if(VX_WIN32)
  if(NOT VX_MSPACK_SOURCE_FOUND)
    message(FATAL_ERROR "libmspack's source package is missing; run scripts/install-deps.sh")
  endif()
  set(_d ${VX_MSPACK_SOURCE}/mspack)
  add_library(vx_mspack STATIC ${_d}/cabd.c ${_d}/system.c ${_d}/mszipd.c ${_d}/lzxd.c ${_d}/qtmd.c)
  target_include_directories(vx_mspack PUBLIC ${_d})
  target_compile_definitions(vx_mspack PRIVATE HAVE_INTTYPES_H=1 SIZEOF_OFF_T=4 MSPACK_NO_DEFAULT_SYSTEM=1)
  target_compile_options(vx_mspack PRIVATE -w ${VX_SMALL_CODE_FLAGS})
  # The decompressors run over every byte of a package: built for speed
  # (a few kilobytes more in every setup file).
  set_source_files_properties(${_d}/mszipd.c ${_d}/lzxd.c ${_d}/qtmd.c PROPERTIES COMPILE_OPTIONS -O2)
  set_target_properties(vx_mspack PROPERTIES POSITION_INDEPENDENT_CODE ON)
else()
  find_path(VX_MSPACK_INCLUDE mspack.h REQUIRED)
  find_library(VX_MSPACK_LIBRARY mspack REQUIRED)
  add_library(vx_mspack INTERFACE)
  target_include_directories(vx_mspack INTERFACE ${VX_MSPACK_INCLUDE})
  target_link_libraries(vx_mspack INTERFACE ${VX_MSPACK_LIBRARY})
endif()
