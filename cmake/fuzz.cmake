# libFuzzer targets: tests/fuzz/NAME_fuzz.cpp, each with a checked-in seed
# corpus in tests/fuzz/corpus/NAME. CTest runs each for a short fixed time.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(STATUS "fuzz targets need clang; skipped")
    return()
endif()

set(FUZZ_SECONDS 10 CACHE STRING "seconds each fuzz target runs under ctest")
set(FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)

add_library(zendrel_core_fuzz STATIC ${ZENDREL_SOURCES})
target_include_directories(zendrel_core_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(zendrel_core_fuzz PRIVATE ${ZENDREL_CORE_FLAGS} ${FUZZ_FLAGS})

add_library(zendrel_standins_fuzz STATIC tests/standins/fake_platform.cpp)
target_include_directories(zendrel_standins_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(zendrel_standins_fuzz PRIVATE -Wall -Wextra -Werror ${FUZZ_FLAGS})

file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
foreach(source ${FUZZ_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" corpus ${name})
    add_executable(${name} ${source})
    target_compile_options(${name} PRIVATE -Wall -Wextra -Werror ${FUZZ_FLAGS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE zendrel_core_fuzz zendrel_standins_fuzz)
    # Run on a scratch copy of the seeds so the checked-in corpus stays as it is.
    add_test(NAME fuzz.${corpus}
             COMMAND ${CMAKE_COMMAND} -E env
                     ${PROJECT_SOURCE_DIR}/scripts/run-fuzzer $<TARGET_FILE:${name}>
                     ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${corpus} ${FUZZ_SECONDS})
    math(EXPR fuzz_timeout "${FUZZ_SECONDS} + 30")
    set_tests_properties(fuzz.${corpus} PROPERTIES TIMEOUT ${fuzz_timeout})
endforeach()
