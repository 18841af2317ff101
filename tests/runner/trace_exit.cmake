# The trace log's end at process exit, checked from a destructor function of its own program.
add_executable(trace_exit_main ${CMAKE_SOURCE_DIR}/tests/unit/trace_exit_main.cpp)
target_link_libraries(trace_exit_main PRIVATE vorlax_product)
target_compile_options(trace_exit_main PRIVATE -Wall -Wextra -Werror)
add_test(NAME unit.trace_exit COMMAND trace_exit_main)
set_tests_properties(unit.trace_exit PROPERTIES LABELS unit PASS_REGULAR_EXPRESSION "nothing written after")
