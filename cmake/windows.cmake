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
    # Functions only: for Windows, gcc puts each zero-started static of
    # -fdata-sections into a .data$ section that ld keeps in .data, where it
    # takes room in the file; left whole, they go to .bss, which takes none.
    -ffunction-sections
    -mno-stack-arg-probe
    # Win32 promises 4-byte stack alignment and nothing here uses SSE, so the
    # 16-byte padding of every frame and call is dead weight.
    -mpreferred-stack-boundary=2
    # No 32-byte alignment of larger arrays for vector loads that never come.
    -malign-data=abi
    # Inlining single-use helpers (the scanner's conversions, the splitter's
    # argument loop) into their callers costs more in spills than calls.
    -fno-inline-functions-called-once)

add_executable(Zendrel ${ZENDREL_SOURCES} resources/version.rc)
set_target_properties(Zendrel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(Zendrel PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(Zendrel PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${ZENDREL_WINDOWS_FLAGS}>)
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
target_link_libraries(Zendrel PRIVATE kernel32 user32 shlwapi)

# Print size and sections after every link, so growth is seen when it happens.
add_custom_command(TARGET Zendrel POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E echo "Zendrel.exe sections:"
    COMMAND i686-w64-mingw32-size -A $<TARGET_FILE:Zendrel>
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:Zendrel> -P ${PROJECT_SOURCE_DIR}/cmake/print-size.cmake
    VERBATIM)

include(cmake/wine-tests.cmake OPTIONAL)
include(cmake/release-tests.cmake OPTIONAL)
