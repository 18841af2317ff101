add_library(vorlax_samples STATIC ${CMAKE_SOURCE_DIR}/tools/samples/sample_writer.cpp)
target_include_directories(vorlax_samples PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(vorlax_samples PRIVATE -Wall -Wextra -Werror)

# samplegen: writes sample, near-miss and plain files to the real disk (see samplegen --help).
add_executable(samplegen ${CMAKE_SOURCE_DIR}/tools/samples/samplegen.cpp)
target_link_libraries(samplegen PRIVATE vorlax_samples)
target_compile_options(samplegen PRIVATE -Wall -Wextra -Werror)
