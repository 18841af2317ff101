# Benchmarks: built only on request (-DVORLAX_BENCH=ON), never part of the ctest run. Use a
# build directory of their own without sanitizers:
#   cmake -S . -B build/bench -G Ninja -DVORLAX_BENCH=ON -DVORLAX_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
#   ninja -C build/bench signature_bench && build/bench/signature_bench
option(VORLAX_BENCH "Build the benchmarks (Google Benchmark, zlib)" OFF)

if(VORLAX_BENCH)
  find_package(benchmark REQUIRED)
  find_package(ZLIB REQUIRED)
  # Measure the optimisation the Windows build ships (-O2), whatever the build type.
  target_compile_options(vorlax_product PRIVATE -O2)
  target_compile_options(vorlax_sim PRIVATE -O2)
  add_executable(signature_bench ${CMAKE_SOURCE_DIR}/tests/bench/signature_bench.cpp)
  target_link_libraries(signature_bench PRIVATE vorlax_product vorlax_samples benchmark::benchmark ZLIB::ZLIB)
  target_compile_options(signature_bench PRIVATE -Wall -Wextra -Werror -O2)
  add_executable(scan_bench ${CMAKE_SOURCE_DIR}/tests/bench/scan_bench.cpp)
  target_link_libraries(scan_bench PRIVATE vorlax_product vorlax_samples benchmark::benchmark)
  target_compile_options(scan_bench PRIVATE -Wall -Wextra -Werror -O2)
endif()
