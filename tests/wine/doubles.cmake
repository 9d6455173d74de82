# Programs that only the Windows tests under wine use, never installed:
# tests/shell/sh.exe, a test double of `sh` that runs the commands of the test
# packages' scripts (wine has no sh.exe; scripts/wine-run puts its folder on
# WINEPATH), hold_file.exe, which holds a file open with no sharing, and
# helper_double.exe, which stands in for the database helper and runs a script
# of the test shell instead.
add_executable(test_sh wine/test_sh.cpp)
set_target_properties(test_sh PROPERTIES OUTPUT_NAME sh AUTOMOC OFF
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/shell")
add_executable(hold_file wine/hold_file.cpp)
add_executable(helper_double wine/helper_double.cpp)
set_target_properties(hold_file helper_double PROPERTIES AUTOMOC OFF
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/wine")
foreach(target test_sh hold_file helper_double)
    target_link_options(${target} PRIVATE -municode -static)
endforeach()
# Tests that run the helper double (and through it the test shell) build both.
foreach(test tst_databasestep tst_robustness tst_upgraderoad)
    if(TARGET ${test})
        add_dependencies(${test} helper_double test_sh)
    endif()
endforeach()
# tst_dbmanager runs the test shell as a suite program that keeps running.
if(TARGET tst_dbmanager)
    add_dependencies(tst_dbmanager test_sh)
endif()
