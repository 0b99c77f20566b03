# libFuzzer targets: tests/fuzz/NAME_fuzz.cpp, each with a checked-in corpus in
# tests/fuzz/corpus/NAME. CTest replays every input of the corpus once and
# mutates nothing, so each run tries the same inputs; scripts/fuzz does the
# random search and merges what it finds into the corpus.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(STATUS "fuzz targets need clang; skipped")
    return()
endif()

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
    # -runs=0: run the corpus, then stop. A crash leaves its input here.
    add_test(NAME fuzz.${corpus}
             COMMAND ${name} -runs=0 -timeout=10 -artifact_prefix=${CMAKE_BINARY_DIR}/
                     ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${corpus})
    set_tests_properties(fuzz.${corpus} PROPERTIES TIMEOUT 60)
endforeach()
