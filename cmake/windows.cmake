# Windows build: Zendrel.exe with no C or C++ runtime, plus the small Win32
# programs the end-to-end tests drive it with.
enable_testing()

# Nothing is linked unless named: the tool imports from exactly three DLLs.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(ZENDREL_WINDOWS_FLAGS
    ${ZENDREL_CORE_FLAGS}
    -Oz
    -ffreestanding
    -fno-asynchronous-unwind-tables
    -fno-unwind-tables
    -fno-stack-protector
    -fno-threadsafe-statics
    -fno-ident
    # No section per function or per static. Every function is used, and
    # each section of its own would be padded to four bytes. For Windows, gcc
    # puts each zero-started static of -fdata-sections into a .data$ section
    # that ld keeps in .data, where it takes room in the file; left whole,
    # they go to .bss, which takes none.
    #
    # A switch becomes compares rather than a table of addresses in .rdata,
    # which would need a relocation for every entry.
    -fno-jump-tables
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

# Compiled once, linked three times: as Zendrel.exe, at another base for the
# test of its relocation table, and into the program that replays scans
# through the scanner as shipped (cmake/windows-tests.cmake).
add_library(zendrel_objects OBJECT ${ZENDREL_SOURCES} resources/version.rc)
target_include_directories(zendrel_objects PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(zendrel_objects PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${ZENDREL_WINDOWS_FLAGS}>)

set(ZENDREL_LINK_OPTIONS
    -nostdlib
    -nostartfiles
    -Wl,--entry=_ProcessEntry
    -Wl,--subsystem,console
    -Wl,--gc-sections
    -Wl,--no-insert-timestamp
    -Wl,--build-id=none
    # The platform's security baseline, so the image loads where every
    # image must be relocatable: address randomisation with the relocation
    # table it needs, no execution of data, and no exception handlers (the
    # answer to the SafeSEH rule for code that registers none).
    -Wl,--dynamicbase
    -Wl,--enable-reloc-section
    -Wl,--nxcompat
    -Wl,--no-seh
    # No address is ever held in a signed integer, so memory above 2 GiB is fine.
    -Wl,--large-address-aware
    # A console tool that touches no per-user INI file or registry key needs
    # none of the redirection Terminal Services applies to older programs.
    # (.rsrc stays writable: ld 2.40 sets the write bit on any section of
    # that name, and the loader finds the resources only under that name.)
    -Wl,--tsaware
    -s)

add_executable(Zendrel $<TARGET_OBJECTS:zendrel_objects>)
set_target_properties(Zendrel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_options(Zendrel PRIVATE ${ZENDREL_LINK_OPTIONS})
target_link_libraries(Zendrel PRIVATE kernel32 user32 shlwapi)

# Print size and sections after every link, so growth is seen when it happens.
add_custom_command(TARGET Zendrel POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E echo "Zendrel.exe sections:"
    COMMAND i686-w64-mingw32-size -A $<TARGET_FILE:Zendrel>
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:Zendrel> -P ${PROJECT_SOURCE_DIR}/cmake/print-size.cmake
    VERBATIM)

# The tests run under Debian's own Python, which sees python3-pefile (they
# read PE files with it); another python3 may come first on the PATH.
set(TEST_PYTHON /usr/bin/python3)
execute_process(COMMAND ${TEST_PYTHON} -c "import pefile"
                RESULT_VARIABLE pefile_missing OUTPUT_QUIET ERROR_QUIET)
if(pefile_missing)
    message(WARNING "${TEST_PYTHON} cannot import pefile: the release tests will fail. "
                    "scripts/setup (as root) installs python3-pefile.")
endif()

# Every test that runs Wine goes through scripts/with-wine, which gives it the
# project's prefix and a wineserver even when ctest runs it alone; they share
# that server and the DOS-device namespace in it, so they run one at a time.
set(WITH_WINE ${PROJECT_SOURCE_DIR}/scripts/with-wine)

include(cmake/windows-tests.cmake OPTIONAL)
include(cmake/release-tests.cmake OPTIONAL)
