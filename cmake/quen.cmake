# quen_library(<target> DEPS ...): a static library built from src/*.cpp whose public headers
# live in include/<target>/, so an #include line names the library a header comes from.
# Its GoogleTest tests are tests/*_test.cpp, built into <target>_test and registered with ctest.
function(quen_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                       PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  quen_tests(${target}_test DEPS ${target} ${ARG_TEST_DEPS})
endfunction()

# quen_tests(<name> DEPS ...): tests/*_test.cpp of the current folder as one GoogleTest binary.
function(quen_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  if(NOT QUEN_TESTS OR NOT tests)
    return()
  endif()
  add_executable(${name} ${tests})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "QUEN_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
