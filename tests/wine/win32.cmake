# detect_probe.exe: the product's signature check as a small Windows program.
add_executable(detect_probe ${CMAKE_SOURCE_DIR}/tests/wine/detect_probe.cpp)
target_compile_options(detect_probe PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_options(detect_probe PRIVATE ${WIN32_LINK_OPTIONS})
target_link_libraries(detect_probe PRIVATE vorlax_product)

# holdfile.exe (Wine scenario runner): another program that holds files open and starts samples.
add_executable(holdfile ${CMAKE_SOURCE_DIR}/tests/wine/holdfile.c)
target_compile_options(holdfile PRIVATE -Wall -Wextra -Werror -O2 -march=i586)
target_link_options(holdfile PRIVATE -s -static -static-libgcc)

# remove_probe.exe: the product's file removal and restart-time list.
add_executable(remove_probe ${CMAKE_SOURCE_DIR}/tests/wine/remove_probe.cpp)
target_compile_options(remove_probe PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_options(remove_probe PRIVATE ${WIN32_LINK_OPTIONS})
target_link_libraries(remove_probe PRIVATE vorlax_product)
