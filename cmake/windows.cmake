# Windows build: Zendrel.exe with no C or C++ runtime, plus the small Win32
# programs the end-to-end tests drive it with.
enable_testing()

# Nothing is linked unless named: the tool imports from exactly three DLLs.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(ZENDREL_WINDOWS_FLAGS
    ${ZENDREL_CORE_FLAGS}
    -Os
    -ffreestanding
    -fno-asynchronous-unwind-tables
    -fno-unwind-tables
    -fno-stack-protector
    -fno-threadsafe-statics
    -fno-ident
    -ffunction-sections
    -fdata-sections
    -mno-stack-arg-probe
    # Win32 promises 4-byte stack alignment and nothing here uses SSE, so the
    # 16-byte padding of every frame and call is dead weight.
    -mpreferred-stack-boundary=2
    # No 32-byte alignment of larger arrays for vector loads that never come.
    -malign-data=abi
    # Inlining single-use helpers (the scanner's conversions, the splitter's
    # argument loop) into their callers costs more in spills than calls.
    -fno-inline-functions-called-once)

# The x87 unit rounds to 53 bits but keeps its wide exponent range inside
# registers; storing every floating variable to memory rounds each step of the
# scanner's arithmetic to the range of a double.
set_source_files_properties(runtime/scan.cpp PROPERTIES COMPILE_OPTIONS -ffloat-store)

# The program's objects, compiled once: Zendrel.exe is linked from them, and so
# is the test program that replays scans through the scanner as shipped.
add_library(zendrel_objects OBJECT ${ZENDREL_SOURCES})
target_include_directories(zendrel_objects PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(zendrel_objects PRIVATE ${ZENDREL_WINDOWS_FLAGS})

add_executable(Zendrel resources/version.rc)
set_target_properties(Zendrel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_options(Zendrel PRIVATE
    -nostdlib
    -nostartfiles
    -Wl,--entry=_ProcessEntry
    -Wl,--subsystem,console
    -Wl,--gc-sections
    -Wl,--no-insert-timestamp
    -Wl,--build-id=none
    # A fixed image base and no relocation table. An executable is mapped
    # into a fresh address space where its preferred base is always free, so
    # the table would only serve to randomise the image's address; that
    # guards no boundary for a tool that runs with its user's rights on its
    # user's command line and one typed byte, and it costs a 512-byte section.
    -Wl,--disable-dynamicbase
    -Wl,--disable-reloc-section
    -s)
target_link_libraries(Zendrel PRIVATE zendrel_objects kernel32 user32 shlwapi)

# Print size and sections after every link, so growth is seen when it happens.
add_custom_command(TARGET Zendrel POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E echo "Zendrel.exe sections:"
    COMMAND i686-w64-mingw32-size -A $<TARGET_FILE:Zendrel>
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:Zendrel> -P ${PROJECT_SOURCE_DIR}/cmake/print-size.cmake
    VERBATIM)

include(cmake/wine-tests.cmake OPTIONAL)
include(cmake/release-tests.cmake OPTIONAL)
