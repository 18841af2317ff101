# scanfloor.exe: the bare walk-open-read-CRC-log loop, the yardstick of the drive-scan benchmark
# (tools/scanfloor/bench_wine.sh). Same toolchain and options class as the product.
add_executable(scanfloor ${CMAKE_SOURCE_DIR}/tools/scanfloor/scanfloor.c)
target_compile_options(scanfloor PRIVATE -Wall -Wextra -Werror -O2 -march=i586)
target_link_options(scanfloor PRIVATE -s -static -static-libgcc ${WIN98_LINK_OPTIONS})
