# The host build: the product against the simulated machine, with the tests.
enable_testing()

option(VORLAX_SANITIZE "Build the host tests with AddressSanitizer and UBSan" ON)
set(VORLAX_WIN32_DIR "" CACHE PATH "Folder of the Windows build, for the Wine tests (empty: none)")

# Without a build type the host build is the test build, "Test": debug information at -O1, where
# the sanitizers run at a bearable speed. Any other type (Release, RelWithDebInfo, Debug, ...)
# takes CMake's own flags for it.
set(CMAKE_C_FLAGS_TEST "-g -O1" CACHE STRING "C compiler flags of the Test build type")
set(CMAKE_CXX_FLAGS_TEST "-g -O1" CACHE STRING "C++ compiler flags of the Test build type")
mark_as_advanced(CMAKE_C_FLAGS_TEST CMAKE_CXX_FLAGS_TEST)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Test CACHE STRING "Build type: Test (the default), Debug, Release, RelWithDebInfo, MinSizeRel"
      FORCE)
endif()

if(VORLAX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(vorlax_sim STATIC
  ${CMAKE_SOURCE_DIR}/sim/core.cpp
  ${CMAKE_SOURCE_DIR}/sim/crt_files.cpp
  ${CMAKE_SOURCE_DIR}/sim/devices.cpp
  ${CMAKE_SOURCE_DIR}/sim/fault_points.cpp
  ${CMAKE_SOURCE_DIR}/sim/files.cpp
  ${CMAKE_SOURCE_DIR}/sim/processes.cpp
  ${CMAKE_SOURCE_DIR}/sim/registry.cpp
  ${CMAKE_SOURCE_DIR}/sim/restart.cpp
  ${CMAKE_SOURCE_DIR}/sim/services.cpp)
target_include_directories(vorlax_sim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim/include)
target_compile_options(vorlax_sim PRIVATE -Wall -Wextra -Werror)

# The product with its entry routine, which is renamed so that test programs can call it like a
# process would.
add_library(vorlax_product STATIC ${PRODUCT_SOURCES})
target_include_directories(vorlax_product PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim/include)
target_compile_options(vorlax_product PRIVATE ${PRODUCT_WARNINGS} -Werror)
set_source_files_properties(${PRODUCT_MAIN_SOURCE} PROPERTIES COMPILE_DEFINITIONS main=VorlaxCleanMain)
target_link_libraries(vorlax_product PUBLIC vorlax_sim)

# Tests, tools and runners, each folder's fragment in turn. The sample writer comes first (the
# tests use it); the scenario runner's fragment lists the scenario files that the Wine runner's
# fragment, after it, runs again under Wine.
include(${CMAKE_SOURCE_DIR}/tools/samples/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/unit/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/runner/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/wine/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/fuzz/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/yara/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/gate/host.cmake)
include(${CMAKE_SOURCE_DIR}/tests/bench/host.cmake)
