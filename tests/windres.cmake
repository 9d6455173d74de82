# Compiles the Windows resource scripts of the suite's programs (icon, version
# information, manifest; configured from res/program.rc.in into <build>/res/)
# with the MinGW resource compiler, so a broken script, a missing icon or
# manifest shows up on any machine, not only in a Windows build; then reads the
# compiled version information back and compares it with project(VERSION).
#
# Included by tests/CMakeLists.txt to register the test; ctest then runs this
# same file in script mode (-P) to do the check.

if(CMAKE_SCRIPT_MODE_FILE)
    find_program(WINDRES_PROGRAM NAMES x86_64-w64-mingw32-windres)
    if(NOT WINDRES_PROGRAM)
        message(FATAL_ERROR
            "x86_64-w64-mingw32-windres was not found on the search path; install the Debian "
            "package mingw-w64 (scripts/test does) to check the resource scripts")
    endif()
    file(GLOB rc_files "${RC_DIR}/*.rc")
    list(LENGTH rc_files rc_count)
    if(NOT rc_count EQUAL EXPECTED_COUNT)
        message(FATAL_ERROR "${RC_DIR} holds ${rc_count} resource scripts, expected ${EXPECTED_COUNT}")
    endif()
    string(REPLACE "." ", " file_version "${VERSION}")
    file(REMOVE_RECURSE "${WORK_DIR}")
    file(MAKE_DIRECTORY "${WORK_DIR}")
    foreach(rc_file IN LISTS rc_files)
        get_filename_component(name "${rc_file}" NAME_WE)
        set(object "${WORK_DIR}/${name}_rc.o")
        execute_process(
            COMMAND "${WINDRES_PROGRAM}" -O coff -o "${object}" "${rc_file}"
            RESULT_VARIABLE windres_result
            OUTPUT_VARIABLE windres_output
            ERROR_VARIABLE windres_output
            TIMEOUT 120)
        if(NOT windres_result EQUAL 0)
            message(FATAL_ERROR "windres failed on ${rc_file} (${windres_result}):\n${windres_output}")
        endif()
        execute_process(
            COMMAND "${WINDRES_PROGRAM}" -J coff -i "${object}" -O rc
            RESULT_VARIABLE windres_result
            OUTPUT_VARIABLE resources
            ERROR_VARIABLE windres_output
            TIMEOUT 120)
        if(NOT windres_result EQUAL 0)
            message(FATAL_ERROR "windres can't read back ${object}:\n${windres_output}")
        endif()
        foreach(expected "FILEVERSION ${file_version}, 0" "PRODUCTVERSION ${file_version}, 0"
                "VALUE \"OriginalFilename\", \"${name}.exe\"" "RT_MANIFEST" "RT_ICON"
                "name=\"\"${name}\"\" version=\"\"${VERSION}.0\"\"")
            string(FIND "${resources}" "${expected}" found)
            if(found EQUAL -1)
                message(FATAL_ERROR "${rc_file}: \"${expected}\" is missing from its resources:\n${resources}")
            endif()
        endforeach()
        message(STATUS "${name}.rc compiles with version ${VERSION}, icon and manifest")
    endforeach()
    file(REMOVE_RECURSE "${WORK_DIR}")
    return()
endif()

# One script per program of the suite: installer, database helper, project
# management tool, package builder.
add_test(NAME windres_rc
    COMMAND ${CMAKE_COMMAND}
        -DRC_DIR=${PROJECT_BINARY_DIR}/res
        -DEXPECTED_COUNT=4
        -DVERSION=${PROJECT_VERSION}
        -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/windres_rc
        -P ${CMAKE_CURRENT_LIST_FILE})
set_tests_properties(windres_rc PROPERTIES TIMEOUT 180)
