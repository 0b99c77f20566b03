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

find_program(PYTHON3 python3 REQUIRED)
add_test(NAME e2e COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/tests/wine/e2e_test.py)
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

# The scanner's objects as shipped, replaying generated scans beside the host
# build of the same sources; the two must store the same values.
add_executable(scan_replay tests/wine/scan_replay.cpp)
target_compile_options(scan_replay PRIVATE ${TOOL_FLAGS})
target_link_options(scan_replay PRIVATE -static)
target_link_libraries(scan_replay PRIVATE zendrel_objects kernel32 user32 shlwapi)
set_target_properties(scan_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
set(ZENDREL_HOST_BUILD ${PROJECT_SOURCE_DIR}/build/host CACHE PATH
    "host build whose scan_replay is the reference")
add_test(NAME scan_target_differential
    COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/tests/wine/scan_target_test.py
            ${ZENDREL_HOST_BUILD}/scan_replay ${CMAKE_BINARY_DIR}/tools/scan_replay.exe)
set_tests_properties(scan_target_differential PROPERTIES TIMEOUT 180)
