add_library(vorlax_samples STATIC ${CMAKE_SOURCE_DIR}/tools/samples/sample_writer.cpp)
target_include_directories(vorlax_samples PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(vorlax_samples PRIVATE -Wall -Wextra -Werror)
