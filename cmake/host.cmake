# Host build: the portable core against scripted stand-ins, under
# AddressSanitizer and UndefinedBehaviorSanitizer.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

set(SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(zendrel_core STATIC ${ZENDREL_SOURCES})
target_include_directories(zendrel_core PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(zendrel_core PRIVATE ${ZENDREL_CORE_FLAGS} ${SANITIZE})
target_link_options(zendrel_core PUBLIC ${SANITIZE})

add_library(zendrel_standins STATIC tests/standins/fake_platform.cpp)
target_include_directories(zendrel_standins PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(zendrel_standins PRIVATE -Wall -Wextra -Werror ${SANITIZE})

file(GLOB HOST_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/host/*.cpp)
add_executable(host_tests ${HOST_TEST_SOURCES})
target_compile_options(host_tests PRIVATE -Wall -Wextra -Werror ${SANITIZE})
target_link_libraries(host_tests PRIVATE zendrel_core zendrel_standins GTest::gtest_main)
# Each case runs in well under a second; a fault that leaves a loop waiting
# for input must fail its case, not stall the run.
gtest_discover_tests(host_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 10)

# Replays scans for the comparison with the 32-bit build, which the Windows
# tests run.
add_executable(scan_replay tests/windows/scan_replay.cpp)
target_compile_options(scan_replay PRIVATE -Wall -Wextra -Werror ${SANITIZE})
target_link_libraries(scan_replay PRIVATE zendrel_core zendrel_standins)

include(cmake/fuzz.cmake OPTIONAL)

# scripts/setup through a package index that cannot be fetched, apt's locks
# held by another process, and a user who is not root, against stand-ins for
# apt; needs neither the network nor root.
add_test(NAME setup
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/scripts/setup_test.py ${PROJECT_SOURCE_DIR})
set_tests_properties(setup PROPERTIES TIMEOUT 120)
