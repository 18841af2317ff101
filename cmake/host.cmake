# The host build: the product against the simulated machine, with the tests.
enable_testing()

option(VORLAX_SANITIZE "Build the host tests with AddressSanitizer and UBSan" ON)
set(VORLAX_WIN32_DIR "" CACHE PATH "Folder of the Windows build, for the Wine tests (empty: none)")

if(VORLAX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-g -O1)

file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(vorlax_sim STATIC ${SIM_SOURCES})
target_include_directories(vorlax_sim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim/include)
target_compile_options(vorlax_sim PRIVATE -Wall -Wextra -Werror)

# The product's entry routine is renamed so that test programs can call it like a process would.
add_library(vorlax_product STATIC ${PRODUCT_SOURCES})
target_include_directories(vorlax_product PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim/include)
target_compile_options(vorlax_product PRIVATE ${PRODUCT_WARNINGS} -Werror)
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/main.cpp PROPERTIES COMPILE_DEFINITIONS main=VorlaxCleanMain)
target_link_libraries(vorlax_product PUBLIC vorlax_sim)

# Tests, tools and runners each bring their own CMake fragment.
file(GLOB HOST_CMAKE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*/host.cmake ${CMAKE_SOURCE_DIR}/tools/*/host.cmake)
foreach(f ${HOST_CMAKE})
  include(${f})
endforeach()
