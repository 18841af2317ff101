# YARA cross-check: the product's signature check and an independent detector must flag the
# same generated files. When the Windows build is given (VORLAX_WIN32_DIR), stamped copies of
# its sleeper.exe join the tree and the stamping itself is checked with objdump.
find_program(YARA_EXECUTABLE yara)
find_package(Python3 COMPONENTS Interpreter)

add_executable(signature_probe ${CMAKE_SOURCE_DIR}/tests/yara/signature_probe.cpp)
target_link_libraries(signature_probe PRIVATE vorlax_product)
target_compile_options(signature_probe PRIVATE -Wall -Wextra -Werror)

set(VORLAX_SLEEPER_EXE "")
if(VORLAX_WIN32_DIR AND EXISTS ${VORLAX_WIN32_DIR}/sleeper.exe)
  set(VORLAX_SLEEPER_EXE ${VORLAX_WIN32_DIR}/sleeper.exe)
endif()

if(YARA_EXECUTABLE AND Python3_Interpreter_FOUND)
  add_test(NAME yara_crosscheck
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/yara/crosscheck.py
                   --samplegen $<TARGET_FILE:samplegen> --probe $<TARGET_FILE:signature_probe>
                   --rule ${CMAKE_SOURCE_DIR}/tests/yara/vorlax.yar --yara ${YARA_EXECUTABLE}
                   --work ${CMAKE_CURRENT_BINARY_DIR}/yara_crosscheck --sleeper "${VORLAX_SLEEPER_EXE}")
  set_tests_properties(yara_crosscheck PROPERTIES LABELS yara)
else()
  message(WARNING "yara or python3 not found: the YARA cross-check is not built")
endif()

find_program(MINGW_OBJDUMP i686-w64-mingw32-objdump)
if(VORLAX_SLEEPER_EXE AND MINGW_OBJDUMP)
  add_test(NAME sleeper_stamp
           COMMAND bash ${CMAKE_SOURCE_DIR}/tools/sleeper/check_stamp.sh ${VORLAX_SLEEPER_EXE}
                   $<TARGET_FILE:samplegen> ${CMAKE_CURRENT_BINARY_DIR}/sleeper_stamp)
  set_tests_properties(sleeper_stamp PROPERTIES LABELS yara ENVIRONMENT OBJDUMP=${MINGW_OBJDUMP})
endif()
