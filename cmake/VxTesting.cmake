# GoogleTest is compiled from Debian's sources for both builds, so the
# Windows test programs get a runtime that matches the cross compiler.
set(VX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${VX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(VX_WIN32)
  # Every Windows test program shares one Wine prefix of the tree's kind
  # (win32 for the 32-bit tree, win64 for the 64-bit one), made fresh by a
  # fixture at the start of each test run.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VX_WINEARCH win64)
  else()
    set(VX_WINEARCH win32)
  endif()
  set(VX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  add_test(NAME wine_prefix
           COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix.sh ${VX_WINEARCH} ${VX_WINEPREFIX})
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
endif()

# vx_test(NAME SOURCES... LIBS...)
# One test program. On Windows it is one CTest test run under Wine (each
# Wine start is costly). Natively every test case is a CTest test of its
# own ("<program>.<Suite>.<Case>"), found when the tests run, so a failure
# names its case and the cases run side by side.
include(GoogleTest)
function(vx_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(VX_WIN32)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    # A program that ends early (a crash Wine reports with exit code 0, a
    # process ended from outside) prints no summary: it passes only when
    # GoogleTest says so and names no failed case.
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine
      ENVIRONMENT "VX_WINEPREFIX=${VX_WINEPREFIX}" TIMEOUT 600
      PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ test"
      FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
  else()
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_MODE PRE_TEST
      EXTRA_ARGS --gtest_color=no PROPERTIES TIMEOUT 600)
  endif()
endfunction()
