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
    -mno-stack-arg-probe)

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
