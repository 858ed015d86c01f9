# One static library per directory, built from every .cc in it that is not a
# test; one GoogleTest executable per *_test.cc file, so that a directory's
# tests can be built and run one file at a time.
#
#   trv_library(NAME name [EXCLUDE file.cc...] [DEPS lib...])
#   trv_tests(DEPS lib...)
function(trv_library)
  cmake_parse_arguments(ARG "" "NAME" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$|/main\\.cc$")
  foreach(skip ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${skip})
  endforeach()
  add_library(${ARG_NAME} STATIC ${sources} ${PROJECT_SOURCE_DIR}/cmake/empty.cc)
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

function(trv_tests)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  foreach(test ${tests})
    get_filename_component(name ${test} NAME_WE)
    add_executable(${name} ${test})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main GTest::gmock Threads::Threads)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()
