# Release gates on the Windows build (VORLAX_WIN32_DIR), label "gate":
#   gate.win98_loadable         VorlaxClean.exe loads on Windows 98 SE: PE32 i386 console,
#                               subsystem 4.0, no dynamic base or NX, imports all in 98 SE
#   gate.win98_rejects_newer_api  the gate fails newer_api_probe.exe and names GetFileSizeEx
#   gate.win98_selftest         the gate reports each header and import fault planted in a copy
#   gate.resources              version information and manifest read back from VorlaxClean.exe
#   gate.resources_absent       the resource check fails an image that has none
# Python 3 from Debian (/usr/bin/python3), standard library only.
if(VORLAX_WIN32_DIR)
  set(VORLAX_GATE_PYTHON /usr/bin/python3)
  set(gate_dir ${CMAKE_SOURCE_DIR}/tests/gate)
  set(product_exe ${VORLAX_WIN32_DIR}/VorlaxClean.exe)
  add_test(NAME gate.win98_loadable COMMAND ${VORLAX_GATE_PYTHON} ${gate_dir}/win98_gate.py ${product_exe} --list)
  add_test(NAME gate.win98_rejects_newer_api
           COMMAND ${VORLAX_GATE_PYTHON} ${gate_dir}/expect_failure.py
                   --expect "KERNEL32.dll!GetFileSizeEx: missing on Windows 98 SE"
                   -- ${VORLAX_GATE_PYTHON} ${gate_dir}/win98_gate.py ${VORLAX_WIN32_DIR}/newer_api_probe.exe)
  add_test(NAME gate.win98_selftest COMMAND ${VORLAX_GATE_PYTHON} ${gate_dir}/gate_selftest.py ${product_exe})
  add_test(NAME gate.resources COMMAND ${VORLAX_GATE_PYTHON} ${gate_dir}/check_resources.py ${product_exe})
  add_test(NAME gate.resources_absent
           COMMAND ${VORLAX_GATE_PYTHON} ${gate_dir}/expect_failure.py
                   --expect "0 RT_VERSION resources" --expect "RT_MANIFEST resources []"
                   -- ${VORLAX_GATE_PYTHON} ${gate_dir}/check_resources.py ${VORLAX_WIN32_DIR}/newer_api_probe.exe)
  set_tests_properties(gate.win98_loadable gate.win98_rejects_newer_api gate.win98_selftest gate.resources
                       gate.resources_absent PROPERTIES LABELS gate)
endif()
