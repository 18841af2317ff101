# The real product: a PE32 console program for Windows 9x and NT.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(WIN32_COMPILE_OPTIONS ${PRODUCT_WARNINGS} -Werror -O2 -fno-exceptions -fno-rtti -march=i586
    -fno-asynchronous-unwind-tables)
# What every Windows program of the project needs to load on Windows 98: the 9x loader is
# reported to reject dynamic-base and NX-compatible images, and wants subsystem and OS 4.0.
set(WIN98_LINK_OPTIONS -Wl,--disable-dynamicbase,--disable-nxcompat
    -Wl,--major-subsystem-version,4,--minor-subsystem-version,0
    -Wl,--major-os-version,4,--minor-os-version,0)
set(WIN32_LINK_OPTIONS -static -static-libgcc -static-libstdc++ ${WIN98_LINK_OPTIONS})

# The product but its entry routine, for VorlaxClean.exe and the Windows-side probes.
add_library(vorlax_product STATIC ${PRODUCT_LIBRARY_SOURCES})
target_include_directories(vorlax_product PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(vorlax_product PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_libraries(vorlax_product PUBLIC advapi32)

# Version information and the manifest (windres, from the toolchain file).
enable_language(RC)
add_executable(VorlaxClean ${PRODUCT_MAIN_SOURCE} ${CMAKE_SOURCE_DIR}/app/VorlaxClean.rc)
target_compile_options(VorlaxClean PRIVATE ${WIN32_COMPILE_OPTIONS})
target_link_options(VorlaxClean PRIVATE ${WIN32_LINK_OPTIONS})
target_link_libraries(VorlaxClean PRIVATE vorlax_product)

# Windows-side test programs (samples, helpers that hold files open, probes of the product's own
# routines), each folder's fragment in turn.
include(${CMAKE_SOURCE_DIR}/tools/sleeper/win32.cmake)
include(${CMAKE_SOURCE_DIR}/tools/scanfloor/win32.cmake)
include(${CMAKE_SOURCE_DIR}/tests/wine/win32.cmake)
include(${CMAKE_SOURCE_DIR}/tests/gate/win32.cmake)
