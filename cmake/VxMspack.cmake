# libmspack for the extraction library.
#  - VX_MSPACK_SOURCE: Debian's source package of libmspack, unpacked into
#    the build tree at configure time. Required on Windows (the cabinet
#    reader is compiled from it with mingw); natively only its sample
#    cabinets are used, by the tests.
#  - target vx_mspack: the cabinet reader to link.
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
  target_compile_options(vx_mspack PRIVATE -w)
  set_target_properties(vx_mspack PROPERTIES POSITION_INDEPENDENT_CODE ON)
else()
  find_path(VX_MSPACK_INCLUDE mspack.h REQUIRED)
  find_library(VX_MSPACK_LIBRARY mspack REQUIRED)
  add_library(vx_mspack INTERFACE)
  target_include_directories(vx_mspack INTERFACE ${VX_MSPACK_INCLUDE})
  target_link_libraries(vx_mspack INTERFACE ${VX_MSPACK_LIBRARY})
endif()
