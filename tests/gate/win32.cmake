# newer_api_probe.exe: built like the product (same options, same link flags) but importing a
# function that Windows 98 SE lacks, so that the host build can show the loadability gate failing.
add_executable(newer_api_probe ${CMAKE_SOURCE_DIR}/tests/gate/newer_api_probe.cpp)
target_compile_options(newer_api_probe PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_options(newer_api_probe PRIVATE ${WIN32_LINK_OPTIONS})
