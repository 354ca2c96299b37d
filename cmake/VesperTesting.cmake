# GoogleTest: the system package on the native build; built from the Debian
# source package (/usr/src/googletest) for the cross builds.
if(CMAKE_CROSSCOMPILING)
  set(VR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(VR_GTEST_LIBS gtest gmock gtest_main)
else()
  find_package(GTest REQUIRED)
  set(VR_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()
include(GoogleTest)

# Seconds one Windows test program may run under Wine (all its test cases,
# plus Wine's start) before CTest stops it.
set(VR_WINE_TEST_TIMEOUT 300 CACHE STRING "CTest time-out of one test program under Wine")

# Only these folders of tests/ get a test executable (empty: all). The
# ThreadSanitizer build of the test command takes the ones whose tests start
# threads.
set(VR_TEST_FOLDERS "" CACHE STRING "Test folders to build, e.g. base;ui (empty: all)")

# How test programs are compiled. Most of a build's time goes into the test
# files (GoogleTest's macros expand to much code), so:
# - VR_TEST_UNITY: each test program is compiled as a few unity files, which
#   parse the GoogleTest and GoogleMock headers once per batch, not per file;
# - outside Release, the test code itself is compiled without optimisation
#   (the libraries it tests keep the build type's flags): at -O2 -g, variable
#   tracking alone triples the compile time of a test file. The Release build
#   still compiles the tests with the optimiser and its warnings.
option(VR_TEST_UNITY "Compile each test program as unity batches" OFF)
set(VR_TEST_UNITY_BATCH 8 CACHE STRING "Test files per unity batch")
# Test files listed in VR_TEST_UNITY_SKIP (names without folder) are compiled
# alone: they define names of their own that another file of their folder
# defines too.
function(vr_test_build_options target)
  if(VR_TEST_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${VR_TEST_UNITY_BATCH})
    get_target_property(sources ${target} SOURCES)
    foreach(source ${sources})
      get_filename_component(file ${source} NAME)
      if(file IN_LIST VR_TEST_UNITY_SKIP)
        set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
      endif()
    endforeach()
  endif()
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Release>>:-O0>)
endfunction()

# One test executable per folder of tests/, made of every *_test.cpp there
# (platform pairs filtered as for modules). Native builds register each test
# case with CTest; cross builds register the executable once, labelled "wine",
# and run it through the emulator (Wine).
function(vr_add_test_folder name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  if(VR_TEST_FOLDERS AND NOT dir IN_LIST VR_TEST_FOLDERS)
    return()
  endif()
  # A module without sources yet has no target; leave it out.
  set(deps "")
  foreach(dep ${ARG_DEPS})
    if(TARGET ${dep})
      list(APPEND deps ${dep})
    endif()
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp ${dir}/*_support.cpp)
  if(VR_PLATFORM STREQUAL "win32")
    list(FILTER sources EXCLUDE REGEX "_posix(_test)?\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_win32(_test)?\\.cpp$")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${deps} ${VR_GTEST_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  vr_test_build_options(${name})
  if(CMAKE_CROSSCOMPILING)
    # Only a build with an emulator (Wine, from the x86_64 toolchain file) can
    # run its tests; the i686 build compiles and links them only.
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      add_test(NAME ${name} COMMAND ${name})
      set_tests_properties(${name} PROPERTIES LABELS wine TIMEOUT ${VR_WINE_TEST_TIMEOUT})
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
  endif()
endfunction()
