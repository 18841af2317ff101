# detect_probe.exe: the product's signature check (its own sources) as a small Windows program.
add_executable(detect_probe ${CMAKE_SOURCE_DIR}/tests/wine/detect_probe.cpp
               ${CMAKE_SOURCE_DIR}/detect/crc32.cpp ${CMAKE_SOURCE_DIR}/detect/signatures.cpp)
target_include_directories(detect_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(detect_probe PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_options(detect_probe PRIVATE ${WIN32_LINK_OPTIONS})

# holdfile.exe (Wine scenario runner): another program that holds files open and starts samples.
add_executable(holdfile ${CMAKE_SOURCE_DIR}/tests/wine/holdfile.c)
target_compile_options(holdfile PRIVATE -Wall -Wextra -Werror -O2 -march=i586)
target_link_options(holdfile PRIVATE -s -static -static-libgcc)

# remove_probe.exe: the product's file removal and restart-time list (its own sources).
add_executable(remove_probe ${CMAKE_SOURCE_DIR}/tests/wine/remove_probe.cpp
               ${CMAKE_SOURCE_DIR}/fileops/replace_file.cpp ${CMAKE_SOURCE_DIR}/fileops/restart_rename.cpp
               ${CMAKE_SOURCE_DIR}/fileops/ini_file.cpp ${CMAKE_SOURCE_DIR}/fileops/rename_list_file.cpp
               ${CMAKE_SOURCE_DIR}/detect/crc32.cpp ${CMAKE_SOURCE_DIR}/app/platform_query.cpp
               ${CMAKE_SOURCE_DIR}/trace/trace.cpp)
target_include_directories(remove_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(remove_probe PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_options(remove_probe PRIVATE ${WIN32_LINK_OPTIONS})
target_link_libraries(remove_probe PRIVATE advapi32)
