# Win32 programs the end-to-end tests use. They are ordinary programs with the
# usual C runtime, linked statically so Wine needs nothing beside them.
set(TOOL_FLAGS -O1 -Wall -Wextra -Werror)
foreach(tool devdef launch verinfo)
    add_executable(${tool} tests/wine/${tool}.c)
    target_compile_options(${tool} PRIVATE ${TOOL_FLAGS})
    target_link_options(${tool} PRIVATE -static)
    target_link_libraries(${tool} PRIVATE kernel32 user32 version ntdll msvcrt)
    set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endforeach()

add_test(NAME e2e COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/wine/e2e_test.py)
set_tests_properties(e2e PROPERTIES ENVIRONMENT "ZENDREL_BUILD=${CMAKE_BINARY_DIR}" TIMEOUT 1200)

# The splitter beside the platform's own CommandLineToArgvW, in one process.
add_executable(argv_differential tests/wine/argv_differential.cpp runtime/cmdline.cpp)
target_include_directories(argv_differential PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(argv_differential PRIVATE ${TOOL_FLAGS})
target_link_options(argv_differential PRIVATE -static)
target_link_libraries(argv_differential PRIVATE shell32 kernel32)
set_target_properties(argv_differential PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
add_test(NAME argv_differential COMMAND wine ${CMAKE_BINARY_DIR}/tools/argv_differential.exe)
set_tests_properties(argv_differential PROPERTIES TIMEOUT 600)
