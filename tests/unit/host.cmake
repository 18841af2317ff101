# Unit tests of the host build: one GoogleTest program per *_test.cpp file, each test in its
# own process (gtest_discover_tests), so the product's process-wide state starts fresh.
find_package(GTest REQUIRED)
include(GoogleTest)
file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
foreach(source ${UNIT_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(${name} PRIVATE vorlax_product vorlax_samples GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
endforeach()
