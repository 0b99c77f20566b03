# Win32 programs the end-to-end tests use. They are ordinary programs with the
# usual C runtime, linked statically so Wine needs nothing beside them.
set(TOOL_FLAGS -O1 -Wall -Wextra -Werror)
foreach(tool devdef launch verinfo exitwith)
    add_executable(${tool} tests/windows/${tool}.c)
    target_compile_options(${tool} PRIVATE ${TOOL_FLAGS})
    target_link_options(${tool} PRIVATE -static)
    target_link_libraries(${tool} PRIVATE kernel32 user32 version ntdll msvcrt)
    set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endforeach()

# Time limits: about twice the slowest honest run seen, which is where Wine runs
# under qemu's emulator (the end-to-end cases have taken up to 440 s there,
# with another build beside them; 25 s on a processor that runs 32-bit code
# itself).
add_test(NAME e2e
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/e2e_test.py)
set_tests_properties(e2e PROPERTIES ENVIRONMENT "ZENDREL_BUILD=${CMAKE_BINARY_DIR}" TIMEOUT 900)

# Wine keeps one definition a name and cannot remove a long one, so the cases
# that need those, or the answers Windows is modelled to give where Wine's
# differ, run again in build/windows/stacked: copies of Zendrel.exe and the
# helpers beside a stand-in namespace that stacks, which each of them loads
# as its SHLWAPI.dll. None of it ships; every case given must run there.
# Which cases those are, e2e_test.py's STAND_IN says.
set(STACKED ${CMAKE_BINARY_DIR}/stacked)
add_library(stacked_namespace SHARED
    tests/windows/stacked_namespace.c tests/windows/stacked_namespace.def)
target_compile_options(stacked_namespace PRIVATE ${TOOL_FLAGS})
target_link_options(stacked_namespace PRIVATE -static-libgcc)
target_link_libraries(stacked_namespace PRIVATE kernel32 advapi32)
set_target_properties(stacked_namespace PROPERTIES
    PREFIX "" OUTPUT_NAME shlwapi RUNTIME_OUTPUT_DIRECTORY ${STACKED})
# Copied at every build, so the copies never lag behind what they copy.
add_custom_target(stacked_folder ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${STACKED}/tools
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:stacked_namespace> ${STACKED}/tools/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Zendrel> ${STACKED}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:devdef> $<TARGET_FILE:launch>
            $<TARGET_FILE:verinfo> ${STACKED}/tools/
    VERBATIM)
add_dependencies(stacked_folder stacked_namespace Zendrel devdef launch verinfo)
add_test(NAME e2e_stacked
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/e2e_test.py
            --stand-in)
set_tests_properties(e2e_stacked PROPERTIES
    ENVIRONMENT "ZENDREL_BUILD=${STACKED};ZENDREL_E2E_NO_SKIPS=1;WINEDLLOVERRIDES=shlwapi=n,b"
    TIMEOUT 900)

# The relocation table is complete: Zendrel.exe rebased through it to
# 0x10000000 (free under Wine) is byte for byte the same objects linked there,
# and that copy, loaded there, runs: its usage, and removals answered yes.
add_executable(zendrel_other_base $<TARGET_OBJECTS:zendrel_objects>)
set_target_properties(zendrel_other_base PROPERTIES
    OUTPUT_NAME Zendrel RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/other-base)
target_link_options(zendrel_other_base PRIVATE ${ZENDREL_LINK_OPTIONS} -Wl,--image-base=0x10000000)
target_link_libraries(zendrel_other_base PRIVATE kernel32 user32 shlwapi)

add_test(NAME relocation_table
    COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/relocation_test.py ${CMAKE_BINARY_DIR})
set_tests_properties(relocation_table PROPERTIES FIXTURES_SETUP rebased_copy TIMEOUT 60)
add_test(NAME e2e_rebased
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/e2e_test.py
            Usage Answers.test_yes_removes)
set_tests_properties(e2e_rebased PROPERTIES
    ENVIRONMENT "ZENDREL_BUILD=${CMAKE_BINARY_DIR};ZENDREL_EXE=${CMAKE_BINARY_DIR}/rebased/Zendrel.exe"
    FIXTURES_REQUIRED rebased_copy TIMEOUT 900)

# Exit codes that do not fit a byte, as cmd (and PowerShell, where there is
# one) shows them, beside what the platform reports.
add_test(NAME exit_codes
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/exit_codes_test.py)
set_tests_properties(exit_codes PROPERTIES ENVIRONMENT "ZENDREL_BUILD=${CMAKE_BINARY_DIR}" TIMEOUT 300)

# The splitter beside the platform's own CommandLineToArgvW, in one process.
add_executable(argv_differential tests/windows/argv_differential.cpp runtime/cmdline.cpp)
target_include_directories(argv_differential PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(argv_differential PRIVATE ${TOOL_FLAGS})
target_link_options(argv_differential PRIVATE -static)
target_link_libraries(argv_differential PRIVATE shell32 kernel32)
set_target_properties(argv_differential PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
add_test(NAME argv_differential
    COMMAND ${WITH_WINE} wine ${CMAKE_BINARY_DIR}/tools/argv_differential.exe)
set_tests_properties(argv_differential PROPERTIES TIMEOUT 120)

# The scanner's objects as shipped, replaying generated scans beside the host
# build of the same sources; the two must store the same values.
add_executable(scan_replay tests/windows/scan_replay.cpp $<TARGET_OBJECTS:zendrel_objects>)
target_include_directories(scan_replay PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(scan_replay PRIVATE ${TOOL_FLAGS})
target_link_options(scan_replay PRIVATE -static)
target_link_libraries(scan_replay PRIVATE kernel32 user32 shlwapi)
set_target_properties(scan_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
set(ZENDREL_HOST_BUILD ${PROJECT_SOURCE_DIR}/build/host CACHE PATH
    "host build whose scan_replay is the reference")
# The host's results are also written down, for a run on Windows, where
# there is no host build; the second entry replays against that file.
set(SCAN_REFERENCE ${CMAKE_BINARY_DIR}/scan-reference.txt)
add_test(NAME scan_target_differential
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/scan_target_test.py
            ${ZENDREL_HOST_BUILD}/scan_replay ${CMAKE_BINARY_DIR}/tools/scan_replay.exe
            --save ${SCAN_REFERENCE})
set_tests_properties(scan_target_differential PROPERTIES
    FIXTURES_SETUP scan_reference TIMEOUT 120)
add_test(NAME scan_target_reference
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/scan_target_test.py
            --reference ${SCAN_REFERENCE} ${CMAKE_BINARY_DIR}/tools/scan_replay.exe)
set_tests_properties(scan_target_reference PROPERTIES
    FIXTURES_REQUIRED scan_reference TIMEOUT 120)

set_tests_properties(e2e e2e_stacked e2e_rebased exit_codes argv_differential
    scan_target_differential scan_target_reference PROPERTIES RESOURCE_LOCK wineserver)
