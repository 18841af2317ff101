# The host scenario runner and one CTest test per scenario file.
#
# The runner loads the product as a shared module once per run of the tool (load = process
# start, unload = process exit), so that a scenario's second run starts with fresh
# process-wide product state on the machine the first run left. The simulated machine is
# linked into the runner whole and exported to the module.
find_package(yaml-cpp REQUIRED)

add_library(vorlax_product_module MODULE ${PRODUCT_SOURCES})
target_include_directories(vorlax_product_module PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim/include)
target_compile_options(vorlax_product_module PRIVATE ${PRODUCT_WARNINGS} -Werror)
set_target_properties(vorlax_product_module PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/runner)

add_executable(scenario_runner ${CMAKE_SOURCE_DIR}/tests/runner/scenario_runner.cpp)
target_link_libraries(scenario_runner PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,vorlax_sim>" vorlax_samples
                      yaml-cpp ${CMAKE_DL_LIBS})
target_compile_options(scenario_runner PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(scenario_runner PRIVATE VORLAX_PRODUCT_MODULE="$<TARGET_FILE:vorlax_product_module>")
set_target_properties(scenario_runner PROPERTIES ENABLE_EXPORTS ON RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/runner)
add_dependencies(scenario_runner vorlax_product_module)

# Every scenario runs on the host runner (test name scenario.host.NAME, label "scenario").
# The list is kept in the global property VORLAX_SCENARIO_FILES for the Wine runner's
# fragment: when VORLAX_WIN32_DIR names a Windows build, it adds scenario.wine.NAME for each
# file that is not host_only.
file(GLOB VORLAX_SCENARIO_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenarios/*.yaml)
set_property(GLOBAL PROPERTY VORLAX_SCENARIO_FILES ${VORLAX_SCENARIO_FILES})
foreach(scenario ${VORLAX_SCENARIO_FILES})
  get_filename_component(name ${scenario} NAME_WE)
  add_test(NAME scenario.host.${name} COMMAND scenario_runner ${scenario})
  set_tests_properties(scenario.host.${name} PROPERTIES LABELS scenario)
endforeach()

# The fault sweep: each scenario without a no_sweep key, once per fault class (test name
# sweep.NAME.CLASS, label "sweep"), so that the classes run in parallel. Every fault point is a
# sequence of a run with the fault, a restart, a second run and a restart.
foreach(scenario ${VORLAX_SCENARIO_FILES})
  get_filename_component(name ${scenario} NAME_WE)
  file(STRINGS ${scenario} no_sweep REGEX "^no_sweep:")
  if(no_sweep)
    continue()
  endif()
  foreach(class alloc file registry process device)
    add_test(NAME sweep.${name}.${class} COMMAND scenario_runner --sweep ${class} ${scenario})
    set_tests_properties(sweep.${name}.${class} PROPERTIES LABELS sweep TIMEOUT 900)
  endforeach()
endforeach()

# Scenarios the runner must refuse (exit 2, with the reason on stderr), never run as if they
# were sound: faults that could never fire, a sweep of a class that does not exist. Their
# files lie in tests/runner/bad/, out of the glob above.
set(bad_dir ${CMAKE_SOURCE_DIR}/tests/runner/bad)
set(expect_exit ${CMAKE_COMMAND} -DEXPECT_STATUS=2)
add_test(NAME scenario.refused.unknown_fault_api
         COMMAND ${expect_exit} "-DEXPECT_TEXT=no fault point has the api 'CreateFile'"
                 -P ${CMAKE_SOURCE_DIR}/tests/runner/expect_exit.cmake
                 -- $<TARGET_FILE:scenario_runner> ${bad_dir}/unknown_fault_api.yaml)
add_test(NAME scenario.refused.fault_before_the_first_call
         COMMAND ${expect_exit} "-DEXPECT_TEXT=machine.faults: nth 0 for 'CreateFileA'"
                 -P ${CMAKE_SOURCE_DIR}/tests/runner/expect_exit.cmake
                 -- $<TARGET_FILE:scenario_runner> ${bad_dir}/fault_before_the_first_call.yaml)
add_test(NAME scenario.refused.sweep_of_unknown_fault_api
         COMMAND ${expect_exit} "-DEXPECT_TEXT=no fault point has the api 'CreateFile'"
                 -P ${CMAKE_SOURCE_DIR}/tests/runner/expect_exit.cmake
                 -- $<TARGET_FILE:scenario_runner> --sweep file ${bad_dir}/unknown_fault_api.yaml)
add_test(NAME scenario.refused.sweep_of_unknown_class
         COMMAND ${expect_exit} "-DEXPECT_TEXT=unknown fault class 'heap'"
                 -P ${CMAKE_SOURCE_DIR}/tests/runner/expect_exit.cmake
                 -- $<TARGET_FILE:scenario_runner> --sweep heap ${CMAKE_SOURCE_DIR}/tests/scenarios/clean_silent.yaml)
set_tests_properties(scenario.refused.unknown_fault_api scenario.refused.fault_before_the_first_call
                     scenario.refused.sweep_of_unknown_fault_api scenario.refused.sweep_of_unknown_class
                     PROPERTIES LABELS scenario)

include(${CMAKE_SOURCE_DIR}/tests/runner/trace_exit.cmake)
