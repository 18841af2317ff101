# Unit tests of the host build: one GoogleTest program per *_test.cpp file (the glob only names
# the programs; their order does not matter). Under ctest each test runs in its own process
# (gtest_discover_tests); the programs' own main (unit_main.cpp) starts every test with the
# product's process-wide state and the simulated machine reset, so a program also passes when
# run directly, all its tests in one process.
find_package(GTest REQUIRED)
include(GoogleTest)

add_library(vorlax_unit_main STATIC ${CMAKE_SOURCE_DIR}/tests/unit/unit_main.cpp)
target_include_directories(vorlax_unit_main PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
target_link_libraries(vorlax_unit_main PUBLIC vorlax_product GTest::gtest)
target_compile_options(vorlax_unit_main PRIVATE -Wall -Wextra -Werror)

file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
foreach(source ${UNIT_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(${name} PRIVATE vorlax_unit_main vorlax_product vorlax_samples GTest::gtest GTest::gmock)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
  # The program run directly, every test in one process, twice over: state one test leaves
  # behind that the reset misses fails here.
  add_test(NAME unit_whole.${name} COMMAND ${name} --gtest_repeat=2 --gtest_brief=1)
  set_tests_properties(unit_whole.${name} PROPERTIES LABELS unit)
endforeach()
