# One static library per directory, built from every .cc in it that is not a
# test; one GoogleTest executable per *_test.cc file, so that a directory's
# tests can be built and run one file at a time.
#
# The operating system's side of a seam sits in a file named for it:
# foo_posix.cc is built on Linux only, foo_windows.cc on Windows only.
# A Windows build makes only the tests named by ON_WINDOWS (the others need
# POSIX or the Linux emulation of Win32), one CTest test per executable, run
# under CMAKE_CROSSCOMPILING_EMULATOR (Wine).
#
#   trv_library(NAME name [EXCLUDE file.cc...] [DEPS lib...])
#   trv_tests([EXCLUDE file_test.cc...] [ON_WINDOWS file_test.cc...] DEPS lib...)
#     (nothing when TRV_BUILD_TESTS is OFF)
if(WIN32)
  set(TRV_OTHER_SYSTEM_FILES "_posix\\.cc$")
else()
  set(TRV_OTHER_SYSTEM_FILES "_windows\\.cc$")
endif()
function(trv_library)
  cmake_parse_arguments(ARG "" "NAME" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$|/main(_[a-z]+)?\\.cc$")
  list(FILTER sources EXCLUDE REGEX "${TRV_OTHER_SYSTEM_FILES}")
  foreach(skip ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${skip})
  endforeach()
  add_library(${ARG_NAME} STATIC ${sources} ${PROJECT_SOURCE_DIR}/cmake/empty.cc)
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# Test files are most of the build's time, and most of a test file's time
# is spent in GoogleTest's headers and in optimizing test bodies. So every
# test executable reuses one precompiled header of GoogleTest and the
# standard headers the tests use most, and test files (never the code they
# test, which keep the build's flags) are compiled at -Og with line tables
# only. That halves a clean build and still gives the sanitizers' reports
# their file and line; -O0 would be as quick to build but makes the tests'
# own loops (patterns of tens of MiB) three times slower under TSan.
set(TRV_TEST_COMPILE_OPTIONS -Og -g1)
# Under the undefined-behaviour sanitizer, test files go without its checks
# (a third of their build time there): the code they test keeps them.
if(TRV_SANITIZE MATCHES "undefined")
  list(APPEND TRV_TEST_COMPILE_OPTIONS -fno-sanitize=undefined)
endif()
function(trv_test_header_target)
  if(TARGET trv_test_header)
    return()
  endif()
  add_library(trv_test_header OBJECT ${PROJECT_SOURCE_DIR}/cmake/empty.cc)
  target_link_libraries(trv_test_header PRIVATE GTest::gtest)
  target_compile_options(trv_test_header PRIVATE ${TRV_TEST_COMPILE_OPTIONS})
  target_precompile_headers(trv_test_header PRIVATE
    <gtest/gtest.h> <algorithm> <atomic> <chrono> <cstring> <filesystem>
    <fstream> <functional> <memory> <mutex> <string> <thread> <vector>)
endfunction()

function(trv_tests)
  if(NOT TRV_BUILD_TESTS)
    return()
  endif()
  trv_test_header_target()
  # COST: where ctest starts these tests when it runs several at once (the
  # higher, the sooner; it has no timings of its own in a fresh build tree).
  cmake_parse_arguments(ARG "" "COST" "DEPS;EXCLUDE;ON_WINDOWS" ${ARGN})
  if(NOT ARG_COST)
    set(ARG_COST 0)
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  foreach(skip ${ARG_EXCLUDE})
    list(REMOVE_ITEM tests ${CMAKE_CURRENT_SOURCE_DIR}/${skip})
  endforeach()
  if(WIN32)
    set(tests "")
    foreach(test ${ARG_ON_WINDOWS})
      list(APPEND tests ${CMAKE_CURRENT_SOURCE_DIR}/${test})
    endforeach()
  endif()
  foreach(test ${tests})
    get_filename_component(name ${test} NAME_WE)
    add_executable(${name} ${test})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main Threads::Threads)
    target_compile_options(${name} PRIVATE ${TRV_TEST_COMPILE_OPTIONS})
    target_precompile_headers(${name} REUSE_FROM trv_test_header)
    if(WIN32)
      # One Wine start per executable rather than one per test case.
      add_test(NAME ${name} COMMAND ${name})
      set_tests_properties(${name} PROPERTIES TIMEOUT 300)
    else()
      gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 COST ${ARG_COST})
    endif()
  endforeach()
endfunction()
