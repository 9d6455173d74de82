# Compiles the Windows resource script (icon and manifest) with the MinGW
# resource compiler, so a broken .rc, a missing icon or a malformed manifest
# shows up on any machine, not only in a Windows build.
#
# Included by tests/CMakeLists.txt to register the test; ctest then runs this
# same file in script mode (-P) to do the check.

if(CMAKE_SCRIPT_MODE_FILE)
    find_program(WINDRES_PROGRAM NAMES x86_64-w64-mingw32-windres)
    if(NOT WINDRES_PROGRAM)
        message(FATAL_ERROR
            "x86_64-w64-mingw32-windres was not found on the search path; install the Debian "
            "package mingw-w64 (scripts/test does) to check res/upgrade_install.rc")
    endif()
    file(REMOVE_RECURSE "${WORK_DIR}")
    file(MAKE_DIRECTORY "${WORK_DIR}")
    execute_process(
        COMMAND "${WINDRES_PROGRAM}" -O coff -o "${WORK_DIR}/upgrade_install_rc.o" "${RC_FILE}"
        RESULT_VARIABLE windres_result
        OUTPUT_VARIABLE windres_output
        ERROR_VARIABLE windres_output
        TIMEOUT 120)
    if(NOT windres_result EQUAL 0)
        message(FATAL_ERROR "windres failed on ${RC_FILE} (${windres_result}):\n${windres_output}")
    endif()
    file(SIZE "${WORK_DIR}/upgrade_install_rc.o" object_size)
    file(REMOVE_RECURSE "${WORK_DIR}")
    message(STATUS "${RC_FILE} compiles (${object_size} bytes of resources)")
    return()
endif()

add_test(NAME windres_rc
    COMMAND ${CMAKE_COMMAND}
        -DRC_FILE=${CMAKE_SOURCE_DIR}/res/upgrade_install.rc
        -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/windres_rc
        -P ${CMAKE_CURRENT_LIST_FILE})
set_tests_properties(windres_rc PROPERTIES TIMEOUT 180)
