# Fuzz targets in the host build: each target is linked with a small replay main and every file
# of its seed corpus (tests/fuzz/corpus/<target>/) runs as one ctest test, label "fuzz".
# The libFuzzer builds themselves come from tests/fuzz/run_fuzzers.sh (clang-14).
set(FUZZ_TARGETS ini rename_list reg_path extension_pattern find_text)
foreach(target ${FUZZ_TARGETS})
  add_executable(${target}_fuzz_replay ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}_fuzz.cpp
                 ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
  target_link_libraries(${target}_fuzz_replay PRIVATE vorlax_product)
  target_compile_options(${target}_fuzz_replay PRIVATE -Wall -Wextra -Werror)
  file(GLOB corpus CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target}/*)
  foreach(input ${corpus})
    get_filename_component(input_name ${input} NAME)
    add_test(NAME fuzz_replay.${target}.${input_name} COMMAND ${target}_fuzz_replay ${input})
    set_tests_properties(fuzz_replay.${target}.${input_name} PROPERTIES LABELS fuzz)
  endforeach()
endforeach()
