# Programs that only the Windows tests under wine use, never installed:
# tests/shell/sh.exe, a test double of `sh` that runs the commands of the test
# packages' scripts (wine has no sh.exe; scripts/wine-run puts its folder on
# WINEPATH), and hold_file.exe, which holds a file open with no sharing.
add_executable(test_sh wine/test_sh.cpp)
set_target_properties(test_sh PROPERTIES OUTPUT_NAME sh AUTOMOC OFF
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/shell")
add_executable(hold_file wine/hold_file.cpp)
set_target_properties(hold_file PROPERTIES AUTOMOC OFF
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/wine")
foreach(target test_sh hold_file)
    target_link_options(${target} PRIVATE -municode -static)
endforeach()
