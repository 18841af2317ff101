# sleeper.exe: a program that only sleeps, to run as a sample process once stamped.
# File and section alignment 0x2000 make the headers fill the file's first 8192 bytes.
add_executable(sleeper ${CMAKE_SOURCE_DIR}/tools/sleeper/sleeper.c)
target_compile_options(sleeper PRIVATE -Wall -Wextra -Werror -O2 -march=i586)
target_link_options(sleeper PRIVATE -s -static -static-libgcc
    -Wl,--file-alignment,0x2000 -Wl,--section-alignment,0x2000 ${WIN98_LINK_OPTIONS})
