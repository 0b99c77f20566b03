# Release checks: the header (the kind of program, its imports, the security
# baseline and the versions the README gives), the size limit, reproducible
# builds, the tag check, and the archive that scripts/package makes.
add_test(NAME security_baseline
    COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/baseline_test.py
            ${CMAKE_BINARY_DIR}/Zendrel.exe ${PROJECT_SOURCE_DIR}/README.md)
set_tests_properties(security_baseline PROPERTIES TIMEOUT 30)


add_test(NAME executable_size
    COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/size_test.py ${CMAKE_BINARY_DIR})
set_tests_properties(executable_size PROPERTIES TIMEOUT 30)

# Two fresh configure-and-build runs of the executable.
add_test(NAME reproducible_build
    COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/reproducible_test.py
            ${PROJECT_SOURCE_DIR})
set_tests_properties(reproducible_build PROPERTIES
    ENVIRONMENT "CMAKE=${CMAKE_COMMAND}" TIMEOUT 120)

# The tag check before a release, against changelogs in a scratch tree.
add_test(NAME release_check
    COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/release_check_test.py
            ${PROJECT_SOURCE_DIR})
set_tests_properties(release_check PROPERTIES TIMEOUT 30)

# The workflows against the published schema, and how their jobs hand over
# files; runs the release workflow's own packing lines on this build.
add_test(NAME workflows
    COMMAND ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/workflow_test.py
            ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(workflows PROPERTIES ENVIRONMENT "CTEST=${CMAKE_CTEST_COMMAND}" TIMEOUT 60)

# Packs this build's executable twice; runs it once under Wine for its usage text.
add_test(NAME package
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/package_test.py
            ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(package PROPERTIES TIMEOUT 120)

# Packs this build's executable signed with a throw-away certificate; checks
# the signature with osslsigncode and runs the signed file under Wine.
add_test(NAME signing
    COMMAND ${WITH_WINE} ${TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/release/signing_test.py
            ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(signing PROPERTIES TIMEOUT 120)

set_tests_properties(package signing PROPERTIES RESOURCE_LOCK wineserver)
