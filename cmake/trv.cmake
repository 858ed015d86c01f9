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

function(trv_tests)
  if(NOT TRV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE;ON_WINDOWS" ${ARGN})
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
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main GTest::gmock Threads::Threads)
    if(WIN32)
      # One Wine start per executable rather than one per test case.
      add_test(NAME ${name} COMMAND ${name})
      set_tests_properties(${name} PROPERTIES TIMEOUT 300)
    else()
      gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    endif()
  endforeach()
endfunction()
