# The Wine runner: each scenario that is not host_only also runs with the real VorlaxClean.exe
# under Wine (test scenario.wine.NAME, label "wine"), when VORLAX_WIN32_DIR names a Windows
# build (with VorlaxClean.exe, sleeper.exe and holdfile.exe). The template prefixes are made
# once under wine-prefixes in the build folder (locked, so parallel tests wait for the first
# one). Wine runs through qemu here: the tests hold one of three "wine-slot" locks, so that at
# most three run at a time whatever ctest's -j.
if(VORLAX_WIN32_DIR)
  find_program(VORLAX_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  get_property(wine_scenarios GLOBAL PROPERTY VORLAX_SCENARIO_FILES)
  set(wine_slot 0)
  foreach(scenario ${wine_scenarios})
    file(STRINGS ${scenario} host_only REGEX "^host_only:")
    if(host_only)
      continue()
    endif()
    get_filename_component(name ${scenario} NAME_WE)
    add_test(NAME scenario.wine.${name}
             COMMAND ${VORLAX_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/wine/run_scenario.py ${scenario}
                     --win32-dir ${VORLAX_WIN32_DIR} --samplegen $<TARGET_FILE:samplegen>
                     --checker $<TARGET_FILE:scenario_runner> --notes ${CMAKE_BINARY_DIR}/wine-notes
                     --cache ${CMAKE_BINARY_DIR}/wine-prefixes)
    math(EXPR wine_slot "(${wine_slot} + 1) % 3")
    set_tests_properties(scenario.wine.${name} PROPERTIES LABELS wine TIMEOUT 600
                         RESOURCE_LOCK wine-slot-${wine_slot})
  endforeach()
  # The removal of a file in use with the product's own ReplaceFile (remove_probe.exe), and the
  # restart that carries it out: NT (PendingFileRenameOperations) and 98 (WININIT.INI).
  foreach(mode nt 98 98-existing)
    add_test(NAME removal.wine.${mode}
             COMMAND ${VORLAX_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/wine/removal_check.py ${mode}
                     --win32-dir ${VORLAX_WIN32_DIR} --cache ${CMAKE_BINARY_DIR}/wine-prefixes
                     --notes ${CMAKE_BINARY_DIR}/wine-notes)
    math(EXPR wine_slot "(${wine_slot} + 1) % 3")
    set_tests_properties(removal.wine.${mode} PROPERTIES LABELS wine TIMEOUT 600
                         RESOURCE_LOCK wine-slot-${wine_slot})
  endforeach()
endif()
# A network cleaned through deploy/startup.cmd: two machines (two prefixes, two host names) and
# one shared folder, a second start of the clean machine that does not scan, /SUMMARY. Under
# qemu-user its starts may each need a few new servers.
if(VORLAX_WIN32_DIR)
  add_test(NAME fleet.wine.startup_and_summary
           COMMAND ${VORLAX_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/wine/fleet_check.py --win32-dir ${VORLAX_WIN32_DIR}
                   --samplegen $<TARGET_FILE:samplegen> --cache ${CMAKE_BINARY_DIR}/wine-prefixes
                   --checker $<TARGET_FILE:scenario_runner> --notes ${CMAKE_BINARY_DIR}/wine-notes)
  set_tests_properties(fleet.wine.startup_and_summary PROPERTIES LABELS wine TIMEOUT 1500
                       RESOURCE_LOCK wine-slot-0)
endif()
# Backups on the real executable: made before each removal (at once and at the restart), inert
# (YARA with the signatures finds nothing), restored byte for byte, never over a file; none with
# /NOBACKUP. NT and 98 modes.
if(VORLAX_WIN32_DIR)
  set(wine_slot 1)
  foreach(mode nt 98)
    add_test(NAME backup.wine.${mode}
             COMMAND ${VORLAX_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/wine/backup_check.py ${mode}
                     --win32-dir ${VORLAX_WIN32_DIR} --samplegen $<TARGET_FILE:samplegen>
                     --cache ${CMAKE_BINARY_DIR}/wine-prefixes --checker $<TARGET_FILE:scenario_runner>
                     --notes ${CMAKE_BINARY_DIR}/wine-notes)
    set_tests_properties(backup.wine.${mode} PROPERTIES LABELS wine TIMEOUT 900
                         RESOURCE_LOCK wine-slot-${wine_slot})
    math(EXPR wine_slot "${wine_slot} + 1")
  endforeach()
endif()
# The Wine runner's rules for what is Wine's failure and what is the tool's, on made-up relay
# traces: needs no Windows build and no Wine.
find_program(VORLAX_PYTHON3_RULES NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME runner.wine_judgement
         COMMAND ${VORLAX_PYTHON3_RULES} ${CMAKE_SOURCE_DIR}/tests/wine/judge_test.py)
set_tests_properties(runner.wine_judgement PROPERTIES LABELS runner)
